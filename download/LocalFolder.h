#pragma once

#include <functional>
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
// error box that names the level where it happened and why.
bool createFolder(const std::string& folder, Prompter& prompter);

// Moves the file at a path to the desktop's trash; true only when it has
// left its place for a trash. The front end gives the desktop's own.
using MoveToTrash = std::function<bool(const std::string& path)>;

// What became of the QLM files of a folder after the delete question.
struct QlmCleanup {
    // The user said Yes, but the files had gone meanwhile.
    bool nothingFound = false;
    // Files that stayed although the user wanted them gone, as a sentence.
    std::string failure;
};

// Offers to clear the files of the folder whose names begin with "QLM" in any
// letter case (folders among them stay): asked only when there are some,
// naming how many and a few of them, No by default. Yes moves them to the
// desktop's trash through `trash`; those that cannot go there (no trash on
// that file system, not a regular file) are deleted only after a second,
// explicit Yes. `named` is the folder as the question shows it.
QlmCleanup offerQlmCleanup(const std::string& folder, const std::string& named, Prompter& prompter,
                           const MoveToTrash& trash);

}  // namespace tyq::download
