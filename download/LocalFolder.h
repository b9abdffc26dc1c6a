#pragma once

#include <string>

#include "common/Prompter.h"

namespace tyq::download {

inline constexpr char kBlankDirectoryText[] = "Blank directory";
inline constexpr char kCannotCreateText[] = "Unable to create the directory";

// True when the folder is a directory that can be entered. The process's
// current directory is never changed.
bool folderExists(const std::string& folder);

// Creates the folder and any missing parent folders, outermost first, one
// level at a time; the root and "." are never made. A failure is shown in one
// error box from the level where it happened.
bool createFolder(const std::string& folder, Prompter& prompter);

// Deletes every entry of the folder whose name begins with "QLM" in any letter
// case. False when there was none; failed deletions are not reported.
bool deleteQlmFiles(const std::string& folder);

}  // namespace tyq::download
