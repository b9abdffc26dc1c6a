#pragma once

namespace tyq::app {

// One collection without a window, from the window's settings; returns the
// process's exit status.
int runCollect();

}  // namespace tyq::app
