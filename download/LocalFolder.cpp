#include "download/LocalFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/FileSearch.h"
#include "common/Paths.h"
#include "common/ShownText.h"

namespace tyq::download {
namespace {

void showError(Prompter& prompter, const std::string& text) {
    prompter.ask(Prompt{text, PromptButtons::Ok, PromptIcon::Error, PromptOwner::None});
}

// "3 QLM files".
std::string fileCount(const std::vector<std::string>& names) {
    return std::to_string(names.size()) + (names.size() == 1 ? " QLM file" : " QLM files");
}

// "A, B, C, and 2 more": the names a question shows.
std::string nameList(const std::vector<std::string>& names) {
    std::vector<std::string> shown;
    for (const auto& name : names) {
        shown.push_back(shownText(name, 64));
    }
    // The list begins with its own separator.
    return namedWithMore(shown, 3, ", ").substr(2);
}

// Where each name goes: a regular file to the trash, anything else (a link,
// which the trash might follow) only to a deletion the user agreed to.
// Names that have gone meanwhile are dropped.
struct Sorted {
    std::vector<std::string> files;
    std::vector<std::string> others;
};

Sorted sortEntries(const std::string& folder, const std::vector<std::string>& names) {
    Sorted sorted;
    for (const auto& name : names) {
        struct stat info {};
        if (::lstat((folder + "/" + name).c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
            continue;
        }
        (S_ISREG(info.st_mode) ? sorted.files : sorted.others).push_back(name);
    }
    return sorted;
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
        showError(prompter, std::string(kCannotCreateText) + "\n" + shownText(*level, 4096) + "\n" +
                                std::strerror(errno));
        return false;
    }
    return true;
}

QlmCleanup offerQlmCleanup(const std::string& folder, const std::string& named, Prompter& prompter,
                           const MoveToTrash& trash) {
    QlmCleanup result;
    const auto found = sortEntries(folder, findEntries(folder, NamePattern::QlmAny));
    std::vector<std::string> all = found.files;
    all.insert(all.end(), found.others.begin(), found.others.end());
    if (all.empty()) {
        return result;
    }
    // No by default: one careless Enter must not clear the folder.
    const auto askNo = [&](const std::string& text, PromptIcon icon) {
        return prompter.ask(Prompt{text, PromptButtons::YesNo, icon, PromptOwner::MainWindow,
                                   PromptAnswer::No}) == PromptAnswer::Yes;
    };
    if (!askNo("Do you want to move " + fileCount(all) + " in the directory " + named +
                   " to the trash?\n" + nameList(all),
               PromptIcon::Question)) {
        return result;
    }
    const std::string prefix = folder + "/";
    const auto now = sortEntries(folder, all);
    if (now.files.empty() && now.others.empty()) {
        result.nothingFound = true;
        return result;
    }
    std::vector<std::string> stayed;
    bool trashed = false;
    for (const auto& name : now.files) {
        if (trash && trash(prefix + name)) {
            trashed = true;
        } else {
            stayed.push_back(name);
        }
    }
    stayed.insert(stayed.end(), now.others.begin(), now.others.end());
    if (stayed.empty()) {
        return result;
    }
    // Gone for good only on a second, deliberate Yes.
    const std::string question =
        trashed || now.files.empty()
            ? fileCount(stayed) + " could not be moved to the trash.\nDo you want to delete " +
                  (stayed.size() == 1 ? "it" : "them") + " for good?\n"
            : "The directory " + named + " has no trash.\nDo you want to delete " +
                  fileCount(stayed) + " there for good?\n";
    if (!askNo(question + nameList(stayed), PromptIcon::Warning)) {
        return result;
    }
    std::vector<std::string> kept;
    for (const auto& name : stayed) {
        if (::unlink((prefix + name).c_str()) != 0 && errno != ENOENT) {
            kept.push_back(name);
        }
    }
    if (!kept.empty()) {
        result.failure = fileCount(kept) + " could not be deleted: " + nameList(kept);
    }
    return result;
}

}  // namespace tyq::download
