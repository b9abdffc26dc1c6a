#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace tyq {

// Said of a path (after its name) whose file changed since its commit was cut
// short, when the sweep finishes that commit.
inline constexpr char kChangedPathText[] =
    ": changed since its extraction was cut short, kept as it is";

// Finishes what commands that were killed left at the top of `location`: an
// interrupted commit is completed (or, where it was being undone, undone),
// then the staging folder goes with everything in it. Only folders whose
// record names them (a copy, a link or a folder of a like name is left
// alone), only this user's; no link is followed and no other file system
// entered. A path whose file changed since the commit was cut short keeps
// that file: each such path, relative to the location and followed by
// kChangedPathText, is added to `kept` when given. Call it only while
// holding the folder's lock. Returns how many staging folders were removed.
std::size_t removeLeftovers(const std::filesystem::path& location,
                            std::vector<std::string>* kept = nullptr);

}  // namespace tyq
