#include "download/LocalFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/FileSearch.h"
#include "common/Paths.h"

namespace tyq::download {
namespace {

void showError(Prompter& prompter, const char* text) {
    prompter.ask(Prompt{text, PromptButtons::Ok, PromptIcon::Error, PromptOwner::None});
}

}  // namespace

bool folderExists(const std::string& folder) {
    const auto saved = currentDirectory();
    if (!saved || folder.empty()) {
        return false;
    }
    if (chdir(folder.c_str()) != 0) {
        return false;
    }
    // Back to where we were; should that directory have gone meanwhile there
    // is nowhere better to return to, and the folder was still entered.
    [[maybe_unused]] const int back = chdir(saved->c_str());
    return true;
}

bool createFolder(const std::string& folder, Prompter& prompter) {
    if (folder.empty()) {
        showError(prompter, kBlankDirectoryText);
        return false;
    }
    const auto parent = parentFolder(folder);
    if (!folderExists(parent) && !createFolder(parent, prompter)) {
        return false;
    }
    if (mkdir(folder.c_str(), 0777) != 0) {
        // A name with a trailing '/' reaches this level a second time, after
        // the folder itself was made one level up: it is there, so that counts.
        if (errno == EEXIST && !folder.empty() && folder.back() == '/' && folderExists(folder)) {
            return true;
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
