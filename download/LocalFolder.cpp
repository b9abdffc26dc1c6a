#include "download/LocalFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/FileSearch.h"
#include "common/Paths.h"

namespace tyq::download {
namespace {

void showError(Prompter& prompter, const char* text) {
    prompter.ask(Prompt{text, PromptButtons::Ok, PromptIcon::Error, PromptOwner::None});
}

}  // namespace

bool folderExists(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    // Asked of the path itself: the current directory is process-wide, the
    // commands run on a worker thread, and it may have gone or be unsearchable.
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           ::faccessat(AT_FDCWD, folder.c_str(), X_OK, AT_EACCESS) == 0;
}

bool createFolder(const std::string& folder, Prompter& prompter) {
    if (folder.empty()) {
        showError(prompter, kBlankDirectoryText);
        return false;
    }
    // The folder and each missing parent, innermost first. The root and "."
    // end the walk: they are there or cannot be made, and are their own parent.
    std::vector<std::string> levels{folder};
    for (auto parent = parentFolder(folder);
         parent != "/" && parent != "." && parent != levels.back() && !folderExists(parent);
         parent = parentFolder(parent)) {
        levels.push_back(parent);
    }
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
        if (::mkdir(level->c_str(), 0777) == 0) {
            continue;
        }
        // A name with a trailing '/' comes after the same folder without it,
        // just made: it is there, so that counts.
        if (errno == EEXIST && level->back() == '/' && folderExists(*level)) {
            continue;
        }
        showError(prompter, kCannotCreateText);
        return false;
    }
    return true;
}

bool deleteQlmFiles(const std::string& folder) {
    const auto names = findEntries(folder, NamePattern::QlmAny);
    if (names.empty()) {
        return false;
    }
    const std::string prefix = folder + "/";
    for (const auto& name : names) {
        // Folders and files that cannot go simply stay.
        ::unlink((prefix + name).c_str());
    }
    return true;
}

}  // namespace tyq::download
