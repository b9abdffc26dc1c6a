#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyq::unzip::lib {

struct EntryPath {
    std::vector<std::string> parts;  // the steps below the destination folder
    bool folder = false;             // the name ends with '/'
};

// The steps of an entry name, or nothing when the name could reach outside
// the destination or means something else on the system that made the
// archive: empty, absolute, "..", a backslash, a drive letter, a NUL.
std::optional<EntryPath> checkEntryName(std::string_view name);

}  // namespace tyq::unzip::lib
