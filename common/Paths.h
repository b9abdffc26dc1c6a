#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tyq {

// The running program's own file, symbolic links resolved.
std::filesystem::path executablePath();
// The folder holding the program, where its own libraries and help file lie.
std::filesystem::path executableFolder();

// The parent of a path as typed: everything before its last '/'. A path
// without '/' has the parent "."; a folder directly under the root ("/Data")
// has the root "/" as its parent.
std::string parentFolder(std::string_view path);

// A Location as typed, where a leading "~" alone or "~/" stands for the
// user's home folder, as in a shell. Any other path is returned as it is
// (relative ones stay relative to the current directory).
std::string expandHome(std::string_view path);

// The process's current directory, or nothing when it cannot be read.
std::optional<std::string> currentDirectory();

}  // namespace tyq
