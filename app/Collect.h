#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace tyq::app {

// What --collect was asked for besides.
struct CollectRequest {
    // --quiet: only errors and warnings, on standard error.
    bool quiet = false;
    // --again NAME: fetched whether collected before or not.
    std::vector<std::string> again;
};

// One collection without a window, from the window's settings; returns the
// process's exit status. `clock` tells the time (the system's when empty).
int runCollect(const CollectRequest& request, std::function<std::time_t()> clock = {});

}  // namespace tyq::app
