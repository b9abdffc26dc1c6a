#include "common/TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

#include "common/Fd.h"
#include "common/SmallFiles.h"

namespace tyq {
namespace {

// The staging folder's record of its own identity, and its other files.
// Staged entries are named by digits alone, so they never meet these.
constexpr char kRecordName[] = "staging";
constexpr char kJournalName[] = "journal";
constexpr char kUndoName[] = "undo";
constexpr char kFoldersName[] = "folders";
constexpr char kFirstJournalHeader[] = "tyqlmftp journal 1\n";
constexpr char kJournalHeader[] = "tyqlmftp journal 2\n";
constexpr char kJournalEnd[] = "end\n";
constexpr std::size_t kMaxRecordBytes = 128;

std::string recordText(const struct stat& info) {
    char text[kMaxRecordBytes];
    std::snprintf(text, sizeof text, "tyqlmftp staging %" PRIuMAX " %" PRIuMAX "\n",
                  static_cast<std::uintmax_t>(info.st_dev),
                  static_cast<std::uintmax_t>(info.st_ino));
    return text;
}

// "<length>:<bytes>\n": any byte a path may hold.
void appendPath(std::string& out, std::string_view path) {
    out += std::to_string(path.size());
    out += ':';
    out += path;
    out += '\n';
}

bool readPath(std::string_view text, std::size_t& at, std::string& path) {
    std::uintmax_t length = 0;
    if (!readNumber(text, at, ':', length) || length > text.size() - at ||
        text.size() - at - length < 1 || text[at + length] != '\n') {
        return false;
    }
    path.assign(text.substr(at, length));
    at += length + 1;
    return true;
}

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

// Removes a folder of ours with everything in it, never through a link and
// never into another file system; a mount point inside keeps it (and what
// is mounted) where it is.
bool removeTree(int parent, const char* name, dev_t device) {
    Fd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || info.st_dev != device) {
        return false;
    }
    Dir dir(::fdopendir(fd.get()));
    if (!dir) {
        return false;
    }
    fd.release();
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view leaf(entry->d_name);
        if (leaf != "." && leaf != "..") {
            names.emplace_back(leaf);
        }
    }
    const int at = ::dirfd(dir.get());
    for (const std::string& leaf : names) {
        struct stat entry {};
        if (::fstatat(at, leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(entry.st_mode)) {
            removeTree(at, leaf.c_str(), device);
        } else {
            ::unlinkat(at, leaf.c_str(), 0);
        }
    }
    dir.reset();
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

bool isOurs(const struct stat& info, dev_t device, ino_t inode) {
    return info.st_dev == device && info.st_ino == inode;
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
        error = placeStaged(staging, entry.staged, folder.get(), leaf, there, &entry);
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
    const auto text = readSmall(staging, kFoldersName, SIZE_MAX / 2);
    if (!text) {
        return;
    }
    std::vector<std::string> paths;
    std::size_t at = 0;
    for (std::string path; at < text->size() && readPath(*text, at, path);) {
        paths.push_back(path);
    }
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
    struct stat info {};
    bool undo = ::fstatat(staging, kUndoName, &info, AT_SYMLINK_NOFOLLOW) == 0;
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
            const Fd mark(::openat(staging, kUndoName, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
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

bool isTemporaryName(std::string_view name) noexcept {
    return name.starts_with(kDownloadTempPrefix) || name.starts_with(kUnzipTempPrefix);
}

StagingFolder::~StagingFolder() {
    release();
}

StagingFolder::StagingFolder(StagingFolder&& other) noexcept
    : location_(std::exchange(other.location_, -1)),
      fd_(std::exchange(other.fd_, -1)),
      name_(std::move(other.name_)),
      device_(other.device_),
      inode_(other.inode_),
      path_(std::move(other.path_)),
      kept_(other.kept_) {}

StagingFolder& StagingFolder::operator=(StagingFolder&& other) noexcept {
    if (this != &other) {
        release();
        location_ = std::exchange(other.location_, -1);
        fd_ = std::exchange(other.fd_, -1);
        name_ = std::move(other.name_);
        device_ = other.device_;
        inode_ = other.inode_;
        path_ = std::move(other.path_);
        kept_ = other.kept_;
    }
    return *this;
}

void StagingFolder::release() noexcept {
    if (fd_ >= 0) {
        // Only the folder we made: the name may have been replaced since.
        struct stat info {};
        if (!kept_ && ::fstatat(location_, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            isOurs(info, device_, inode_)) {
            removeTree(location_, name_.c_str(), device_);
        }
        ::close(fd_);
        fd_ = -1;
    }
    if (location_ >= 0) {
        ::close(location_);
        location_ = -1;
    }
}

int StagingFolder::create(int location, std::string_view prefix) {
    release();
    kept_ = false;
    Fd at(::fcntl(location, F_DUPFD_CLOEXEC, 0));
    if (!at.valid()) {
        return errno;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::uint64_t random = 0;
        if (::getrandom(&random, sizeof random, 0) != sizeof random) {
            random = static_cast<std::uint64_t>(::getpid()) * 1000003u + attempt;
        }
        char name[64];
        std::snprintf(name, sizeof name, "%.*s%016" PRIx64, static_cast<int>(prefix.size()),
                      prefix.data(), random);
        if (::mkdirat(at.get(), name, 0700) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            return errno;
        }
        Fd fd(::openat(at.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        int error = 0;
        if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
            error = errno;
        } else {
            const Fd record(::openat(fd.get(), kRecordName,
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            error = record.valid() ? writeAll(record.get(), recordText(info)) : errno;
        }
        if (error != 0) {
            removeTree(at.get(), name, info.st_dev);
            return error;
        }
        location_ = at.release();
        fd_ = fd.release();
        name_ = name;
        device_ = info.st_dev;
        inode_ = info.st_ino;
        return 0;
    }
    return EEXIST;
}

int StagingFolder::create(const std::filesystem::path& location, std::string_view prefix) {
    const Fd at(::open(location.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!at.valid()) {
        return errno;
    }
    const int error = create(at.get(), prefix);
    if (error == 0) {
        path_ = location / name_;
    }
    return error;
}

int StagingFolder::writeJournal(const std::vector<StagedEntry>& entries) const {
    std::string text = kJournalHeader;
    for (const StagedEntry& entry : entries) {
        text += entry.staged;
        for (const std::uintmax_t number : {static_cast<std::uintmax_t>(entry.inode),
                                            static_cast<std::uintmax_t>(entry.replacedDevice),
                                            static_cast<std::uintmax_t>(entry.replacedInode)}) {
            text += ' ' + std::to_string(number);
        }
        text += ' ';
        appendPath(text, entry.path);
    }
    text += kJournalEnd;
    const Fd fd(
        ::openat(fd_, kJournalName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        return errno;
    }
    if (const int error = writeAll(fd.get(), text)) {
        return error;
    }
    return ::fdatasync(fd.get()) == 0 && ::fsync(fd_) == 0 ? 0 : errno;
}

int StagingFolder::markUndo() const {
    const Fd fd(::openat(fd_, kUndoName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.valid() && ::fsync(fd_) == 0 ? 0 : errno;
}

int StagingFolder::recordFolder(std::string_view path) const {
    std::string text;
    appendPath(text, path);
    const Fd fd(
        ::openat(fd_, kFoldersName, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.valid() ? writeAll(fd.get(), text) : errno;
}

int placeStaged(int staging, const std::string& staged, int folder, const std::string& leaf,
                bool existed, const StagedEntry* replaced) {
    const auto unsupported = [] {
        return errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
    };
    // What left the name is the file to replace, or nothing is known of it.
    const auto expected = [&](const std::string& name) {
        struct stat info {};
        return replaced == nullptr ||
               (::fstatat(staging, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                replaced->replacedInode != 0 && info.st_dev == replaced->replacedDevice &&
                info.st_ino == replaced->replacedInode);
    };
    if (!existed) {
        if (::renameat2(staging, staged.c_str(), folder, leaf.c_str(), RENAME_NOREPLACE) == 0) {
            return 0;
        }
        if (!unsupported()) {
            return errno;
        }
        // No such rename here: the name is looked at first.
        struct stat info {};
        if (::fstatat(folder, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            return EEXIST;
        }
        if (errno != ENOENT) {
            return errno;
        }
        return ::renameat(staging, staged.c_str(), folder, leaf.c_str()) == 0 ? 0 : errno;
    }
    if (::renameat2(staging, staged.c_str(), folder, leaf.c_str(), RENAME_EXCHANGE) == 0) {
        if (!expected(staged)) {
            // Written meanwhile: that file goes back under its name.
            ::renameat2(staging, staged.c_str(), folder, leaf.c_str(), RENAME_EXCHANGE);
            return kPathChanged;
        }
        return 0;
    }
    if (!unsupported()) {
        return errno;
    }
    // No exchange on this file system: the old file moves aside into the
    // staging folder first.
    const std::string aside = "old-" + staged;
    if (::renameat(folder, leaf.c_str(), staging, aside.c_str()) != 0) {
        return errno;
    }
    if (!expected(aside)) {
        ::renameat(staging, aside.c_str(), folder, leaf.c_str());
        return kPathChanged;
    }
    if (::renameat(staging, staged.c_str(), folder, leaf.c_str()) != 0) {
        const int error = errno;
        // Should this fail too, the journal has the next command put it back.
        ::renameat(staging, aside.c_str(), folder, leaf.c_str());
        return error;
    }
    return 0;
}

bool restoreStaged(int staging, const std::string& staged, dev_t device, ino_t inode, int folder,
                   const std::string& leaf) {
    const std::string aside = "old-" + staged;
    struct stat target {};
    struct stat info {};
    bool there = ::fstatat(folder, leaf.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0;
    const bool haveAside = ::fstatat(staging, aside.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (there && isOurs(target, device, inode)) {
        // After an exchange the replaced file holds the staged name.
        if (::fstatat(staging, staged.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            return ::renameat2(staging, staged.c_str(), folder, leaf.c_str(), RENAME_EXCHANGE) == 0;
        }
        if (::renameat(folder, leaf.c_str(), staging, staged.c_str()) != 0) {
            return false;
        }
        there = false;
    }
    if (haveAside) {
        // Something else took the name meanwhile: the old file waits.
        return !there && ::renameat(staging, aside.c_str(), folder, leaf.c_str()) == 0;
    }
    return true;
}

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
        const auto record = readSmall(staging.get(), kRecordName, kMaxRecordBytes);
        if (!record || *record != recordText(info)) {
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
