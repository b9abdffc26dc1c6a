#pragma once

#include <string>

namespace tyq::desktop {

// Moves the file at path to the desktop's trash as the desktop's own file
// manager does: the home trash (made when missing) for a file on the home's
// file system, else the trash at the top of the file's own file system. True
// only when the file has left its place for a trash; a file that cannot go
// to one stays where it is.
bool moveToTrash(const std::string& path);

}  // namespace tyq::desktop
