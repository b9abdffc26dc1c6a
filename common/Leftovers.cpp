#include "common/Leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <utility>

#include "common/Fd.h"
#include "common/SmallFiles.h"
#include "common/StagingFolder.h"
#include "common/StagingRecord.h"

namespace tyq {
namespace {

using namespace staging;

// A journal entry as read back. Journals of the first form did not record
// the file each entry replaces.
struct JournalEntry {
    StagedEntry entry;
    bool knowsReplaced = true;
};

// The journal as written, or nothing when it is missing or was cut short
// (then no rename had begun: the journal is flushed before the first).
std::optional<std::vector<JournalEntry>> readJournal(int staging) {
    const auto text = readSmall(staging, kJournalName, SIZE_MAX / 2);
    if (!text || !text->ends_with(kJournalEnd)) {
        return std::nullopt;
    }
    const bool first = text->starts_with(kFirstJournalHeader);
    if (!first && !text->starts_with(kJournalHeader)) {
        return std::nullopt;
    }
    static_assert(sizeof kFirstJournalHeader == sizeof kJournalHeader);
    const std::string_view body(
        text->data() + sizeof kJournalHeader - 1,
        text->size() - (sizeof kJournalHeader - 1) - (sizeof kJournalEnd - 1));
    std::vector<JournalEntry> entries;
    std::size_t at = 0;
    while (at < body.size()) {
        JournalEntry read;
        std::uintmax_t staged = 0;
        std::uintmax_t inode = 0;
        std::uintmax_t device = 0;
        std::uintmax_t replacedInode = 0;
        if (!readNumber(body, at, ' ', staged) || !readNumber(body, at, ' ', inode) ||
            (!first &&
             (!readNumber(body, at, ' ', device) || !readNumber(body, at, ' ', replacedInode))) ||
            !readPath(body, at, read.entry.path)) {
            return std::nullopt;
        }
        read.entry.staged = std::to_string(staged);
        read.entry.inode = static_cast<ino_t>(inode);
        read.entry.replacedDevice = static_cast<dev_t>(device);
        read.entry.replacedInode = static_cast<ino_t>(replacedInode);
        read.knowsReplaced = !first;
        entries.push_back(std::move(read));
    }
    return entries;
}

// The folder that holds `path` (relative to location), reached without
// following a link at any step, and the leaf's name.
Fd openParent(int location, std::string_view path, std::string& leaf) {
    Fd current(::fcntl(location, F_DUPFD_CLOEXEC, 0));
    for (;;) {
        const std::size_t slash = path.find('/');
        if (slash == std::string_view::npos) {
            leaf.assign(path);
            return current;
        }
        const std::string part(path.substr(0, slash));
        path.remove_prefix(slash + 1);
        if (!current.valid()) {
            return current;
        }
        current = Fd(
            ::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
}

// Whether `info` is the file the entry replaces. A journal of the first
// form did not record it, and so vouches for no file found at the path.
bool isReplaced(const struct stat& info, const JournalEntry& read) {
    return read.knowsReplaced && read.entry.replacedInode != 0 &&
           info.st_dev == read.entry.replacedDevice && info.st_ino == read.entry.replacedInode;
}

void noteKept(std::vector<std::string>* kept, const std::string& path) {
    if (kept != nullptr) {
        kept->push_back(path + kChangedPathText);
    }
}

// Puts an entry of an interrupted commit in place. A path that holds
// neither the new file nor the one it was to replace was written to since:
// that stays, and counts as done.
bool completeEntry(int location, int staging, dev_t device, const JournalEntry& read,
                   std::vector<std::string>* kept) {
    const StagedEntry& entry = read.entry;
    std::string leaf;
    const Fd folder = openParent(location, entry.path, leaf);
    if (!folder.valid()) {
        return false;
    }
    struct stat target {};
    const bool there = ::fstatat(folder.get(), leaf.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0;
    if (there && isOurs(target, device, entry.inode)) {
        return true;
    }
    struct stat staged {};
    if (::fstatat(staging, entry.staged.c_str(), &staged, AT_SYMLINK_NOFOLLOW) != 0 ||
        !isOurs(staged, device, entry.inode) || (there && S_ISDIR(target.st_mode))) {
        return false;
    }
    int error = there && !isReplaced(target, read) ? kPathChanged : 0;
    if (error == 0) {
        error = placeStaged(staging, entry.staged, folder.get(), leaf, there, entry);
    }
    if (error == kPathChanged || error == EEXIST) {
        noteKept(kept, entry.path);
        return true;
    }
    return error == 0;
}

// Undoes an entry of an interrupted commit; a path written to since keeps
// what it holds.
bool undoEntry(int location, int staging, dev_t device, const JournalEntry& read,
               std::vector<std::string>* kept) {
    const StagedEntry& entry = read.entry;
    const std::string aside = "old-" + entry.staged;
    struct stat info {};
    if (::fstatat(staging, entry.staged.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        isOurs(info, device, entry.inode) &&
        ::fstatat(staging, aside.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return true;  // never placed
    }
    std::string leaf;
    const Fd folder = openParent(location, entry.path, leaf);
    if (!folder.valid()) {
        return false;
    }
    if (::fstatat(folder.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        !isOurs(info, device, entry.inode) && !isReplaced(info, read)) {
        noteKept(kept, entry.path);
    }
    return restoreStaged(staging, entry.staged, device, entry.inode, folder.get(), leaf);
}

// Removes the folders a commit that did not happen made, innermost first;
// only empty ones go.
void removeRecordedFolders(int location, int staging) {
    const std::vector<std::string> paths = recordedFolders(staging);
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        std::string leaf;
        const Fd parent = openParent(location, *it, leaf);
        if (parent.valid()) {
            ::unlinkat(parent.get(), leaf.c_str(), AT_REMOVEDIR);
        }
    }
}

// Finishes the commit a killed command left in the staging folder: forward
// when its journal is whole, back when it was being undone or cannot go
// forward. False when something of ours could not be put back: the folder
// then stays for another try.
bool recover(int location, int staging, dev_t device, std::vector<std::string>* kept) {
    const auto journal = readJournal(staging);
    bool undo = undoMarked(staging);
    bool completed = false;
    if (journal && !undo) {
        completed = true;
        for (const JournalEntry& entry : *journal) {
            if (!completeEntry(location, staging, device, entry, kept)) {
                completed = false;
                break;
            }
        }
        if (!completed) {
            markUndo(staging);
            undo = true;
        }
    }
    if (journal && undo) {
        bool restored = true;
        for (auto it = journal->rbegin(); it != journal->rend(); ++it) {
            restored = undoEntry(location, staging, device, *it, kept) && restored;
        }
        if (!restored) {
            return false;
        }
    }
    if (!completed) {
        removeRecordedFolders(location, staging);
    }
    return true;
}

}  // namespace

std::size_t removeLeftovers(const std::filesystem::path& location, std::vector<std::string>* kept) {
    const Fd at(::open(location.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat top {};
    if (!at.valid() || ::fstat(at.get(), &top) != 0) {
        return 0;
    }
    std::vector<std::string> candidates;
    {
        Dir dir(::fdopendir(::fcntl(at.get(), F_DUPFD_CLOEXEC, 0)));
        if (!dir) {
            return 0;
        }
        while (const dirent* entry = ::readdir(dir.get())) {
            if (isTemporaryName(entry->d_name)) {
                candidates.emplace_back(entry->d_name);
            }
        }
    }
    std::size_t removed = 0;
    const uid_t me = ::geteuid();
    for (const std::string& name : candidates) {
        const Fd staging(
            ::openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (!staging.valid() || ::fstat(staging.get(), &info) != 0 || info.st_uid != me ||
            info.st_dev != top.st_dev) {
            continue;
        }
        // Ours only when its record names this very folder.
        if (!recordNames(staging.get(), info)) {
            continue;
        }
        if (recover(at.get(), staging.get(), info.st_dev, kept) &&
            removeTree(at.get(), name.c_str(), info.st_dev)) {
            ++removed;
        }
    }
    return removed;
}

}  // namespace tyq
