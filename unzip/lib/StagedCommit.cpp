#include "unzip/lib/StagedCommit.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>

namespace tyq::unzip::lib {
namespace {

// Up to this many new files are flushed one by one.
constexpr std::size_t kFlushEachUpTo = 32;
// Large enough for the disk to take it in one go, small enough that a large
// file's data is under way long before the file is done.
constexpr std::uint64_t kWriteBackEvery = 8 << 20;

std::vector<std::string> splitPath(std::string_view rest) {
    std::vector<std::string> parts;
    while (!rest.empty()) {
        const std::size_t next = rest.find('/');
        parts.emplace_back(rest.substr(0, next));
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    }
    return parts;
}

}  // namespace

FlushPolicy flushPolicyFor(std::size_t files) {
    FlushPolicy policy;
    policy.data =
        files <= kFlushEachUpTo ? FlushPolicy::Data::EachFile : FlushPolicy::Data::FileSystem;
    policy.writeBackEvery = kWriteBackEvery;
    return policy;
}

StagedCommit::~StagedCommit() {
    if (!committed_) {
        rollback();
    }
}

void StagedCommit::makeFolder(const std::vector<std::string>& parts, std::size_t count) {
    folderFd(parts, count, true, cache_);
}

TempFile StagedCommit::stage(const PlannedEntry& planned, mode_t mode, FolderCache& cache) {
    const int folder = folderFd(planned.parts, planned.parts.size() - 1, true, cache);
    const std::string& leaf = planned.parts.back();
    // Staged files reach their folder by a rename, which cannot leave the
    // staging folder's file system.
    struct stat where {};
    if (::fstat(folder, &where) != 0) {
        failWithErrno(errno);
    }
    if (where.st_dev != staging_.device()) {
        warn(request_, "On another file system: " + planned.name);
        throw ExtractError{code::kCreateOutputFailed};
    }
    struct stat existing {};
    if (::fstatat(folder, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            // A folder this archive made under another name: the disk does
            // not tell the two names apart.
            if (const auto other = ours(existing)) {
                collision(*other, planned.name);
            }
            throw ExtractError{code::kCreateOutputFailed};
        }
    } else if (errno != ENOENT) {
        // A name the folder cannot take (too long, say) fails here, before
        // any file of the archive has been given its final name.
        failWithErrno(errno);
    }
    // Staged names are digits only (the journal's rule); the entry's place
    // in the archive is the one to try first.
    TempFile file;
    if (const int error = file.create(nursery(cache), "", mode, std::to_string(planned.index))) {
        failWithErrno(error);
    }
    remember(file.device(), file.inode(), planned.name);
    return file;
}

int StagedCommit::nursery(FolderCache& cache) {
    if (!nurseries_) {
        return staging_.fd();
    }
    if (!cache.nursery.valid()) {
        // Not digits: never taken for a staged file.
        std::string name;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            name = "reader" + std::to_string(nurseryCount_++);
        }
        if (::mkdirat(staging_.fd(), name.c_str(), 0700) != 0) {
            failWithErrno(errno);
        }
        cache.nursery = Fd(
            ::openat(staging_.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!cache.nursery.valid()) {
            failWithErrno(errno);
        }
    }
    return cache.nursery.get();
}

void StagedCommit::keep(const PlannedEntry& planned, TempFile file) {
    if (nurseries_) {
        if (const int error = file.moveTo(staging_.fd())) {
            failWithErrno(error);
        }
    }
    // Starts the write-back now, so the flush before the renames finds most
    // of the data already on its way.
    ::sync_file_range(file.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (policy_.data != FlushPolicy::Data::EachFile) {
        if (const int error = file.close()) {
            failWithErrno(error);
        }
    }
    Pending pending;
    pending.folder.assign(planned.parts.begin(), planned.parts.end() - 1);
    pending.leaf = planned.parts.back();
    pending.name = planned.name;
    pending.index = planned.index;
    pending.temp = file.name();
    pending.inode = file.inode();
    pending.file = std::move(file);
    const std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(pending));
}

void StagedCommit::flushFiles() {
    switch (policy_.data) {
        case FlushPolicy::Data::EachFile:
            for (Pending& pending : pending_) {
                if (::fdatasync(pending.file.fd()) != 0) {
                    failWithErrno(errno);
                }
                if (const int error = pending.file.close()) {
                    failWithErrno(error);
                }
            }
            break;
        case FlushPolicy::Data::FileSystem:
            if (::syncfs(root_) != 0) {
                failWithErrno(errno);
            }
            break;
    }
}

// The new names on disk before the replaced files (in the staging folder)
// go: every folder that took a file, and the parent of every folder this
// archive made, each once.
void StagedCommit::flushNames() {
    std::vector<std::vector<std::string>> folders;
    for (const Pending& pending : pending_) {
        folders.push_back(pending.folder);
    }
    for (const std::string& made : createdFolders_) {
        std::vector<std::string> parts = splitPath(made);
        parts.pop_back();
        folders.push_back(std::move(parts));
    }
    std::set<std::vector<std::string>> done;
    for (const std::vector<std::string>& folder : folders) {
        if (!done.insert(folder).second) {
            continue;
        }
        // A file system that cannot flush a folder says so; any other
        // failure keeps the archive, whose files are in place but maybe
        // not yet durable.
        if (::fsync(folderFd(folder, folder.size(), false, cache_)) != 0 && errno != EINVAL &&
            errno != EOPNOTSUPP && errno != ENOTSUP) {
            failWithErrno(errno);
        }
    }
}

// Said of a file written to by someone else while the archive's files took
// their names: it stays, and the archive is not extracted.
constexpr char kChangedDuringExtractionText[] = ": changed during the extraction, kept as it is";

// Every final name is looked at before the first file takes one: a folder
// in the way, or two names the disk takes for one file, fail the archive
// while nothing is replaced yet.
std::vector<StagedEntry> StagedCommit::checkFinalNames() {
    std::map<FileId, std::string> replaced;
    std::vector<StagedEntry> journal;
    journal.reserve(pending_.size());
    for (Pending& pending : pending_) {
        const int folder = folderFd(pending.folder, pending.folder.size(), false, cache_);
        struct stat info {};
        if (::fstatat(folder, pending.leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            if (const auto other = ours(info)) {
                collision(*other, pending.name);
            }
            if (S_ISDIR(info.st_mode)) {
                throw ExtractError{code::kCreateOutputFailed};
            }
            const auto [it, fresh] =
                replaced.emplace(FileId{info.st_dev, info.st_ino}, pending.name);
            if (!fresh) {
                collision(it->second, pending.name);
            }
            pending.existed = true;
            pending.replacedDevice = info.st_dev;
            pending.replacedInode = info.st_ino;
        } else if (errno != ENOENT) {
            failWithErrno(errno);
        }
        std::vector<std::string> parts = pending.folder;
        parts.push_back(pending.leaf);
        journal.push_back({pending.temp, pending.inode, joined(parts, parts.size()),
                           pending.replacedDevice, pending.replacedInode});
    }
    return journal;
}

void StagedCommit::commit() {
    flushFiles();
    std::sort(pending_.begin(), pending_.end(),
              [](const Pending& x, const Pending& y) { return x.index < y.index; });
    const std::vector<StagedEntry> journal = checkFinalNames();
    // From here a command killed during the renames is finished by the next
    // one, from the journal, which then answers for the staged files.
    if (const int error = staging_.writeJournal(journal)) {
        failWithErrno(error);
    }
    for (Pending& pending : pending_) {
        pending.file.release();
    }
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        try {
            place(i);
        } catch (...) {
            staging_.markUndo();
            for (std::size_t j = i + 1; j-- > 0;) {
                unplace(pending_[j]);
            }
            throw;
        }
    }
    committed_ = true;
    flushNames();
    pending_.clear();
}

// Files and folders this archive made, by identity: another name that leads
// to one of them is a name the disk takes for the same.
void StagedCommit::remember(dev_t device, ino_t inode, const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    made_[{device, inode}] = name;
}

std::optional<std::string> StagedCommit::ours(const struct stat& info) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = made_.find({info.st_dev, info.st_ino});
    return it == made_.end() ? std::nullopt : std::optional<std::string>(it->second);
}

void StagedCommit::collision(const std::string& first, const std::string& second) {
    warn(request_, "Names the same file on this disk: " + first + " and " + second);
    throw ExtractError{code::kSkipped};
}

void StagedCommit::place(std::size_t i) {
    const Pending& pending = pending_[i];
    const int folder = folderFd(pending.folder, pending.folder.size(), false, cache_);
    StagedEntry replaced;
    replaced.replacedDevice = pending.replacedDevice;
    replaced.replacedInode = pending.replacedInode;
    const int error =
        placeStaged(staging_.fd(), pending.temp, folder, pending.leaf, pending.existed, replaced);
    if (error == 0) {
        return;
    }
    if (error == kPathChanged) {
        warn(request_, pending.name + kChangedDuringExtractionText);
        throw ExtractError{code::kCreateOutputFailed};
    }
    if (error != EEXIST || pending.existed) {
        failWithErrno(error);
    }
    // The free name was taken meanwhile: by an earlier entry, on a disk that
    // does not tell the two names apart.
    struct stat info {};
    if (::fstatat(folder, pending.leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (const auto other = ours(info)) {
            collision(*other, pending.name);
        }
    }
    // A disk that gives each name an identity of its own (FUSE).
    for (std::size_t j = 0; j < i; ++j) {
        if (pending_[j].folder == pending.folder &&
            ::strcasecmp(pending_[j].leaf.c_str(), pending.leaf.c_str()) == 0) {
            collision(pending_[j].name, pending.name);
        }
    }
    throw ExtractError{code::kCreateOutputFailed};
}

// Undoes place(), whichever step it reached: the old file back under its
// name, the new one back in the staging folder.
void StagedCommit::unplace(const Pending& pending) noexcept {
    try {
        const int folder = folderFd(pending.folder, pending.folder.size(), false, cache_);
        if (!restoreStaged(staging_.fd(), pending.temp, staging_.device(), pending.inode, folder,
                           pending.leaf)) {
            warn(request_, "Could not restore " + pending.name + ": " + std::strerror(errno));
            restoreFailed_ = true;
        }
    } catch (...) {
        warn(request_, "Could not restore " + pending.name);
        restoreFailed_ = true;
    }
}

// The folder made of the first `count` parts, opened without following a
// symbolic link at any step. The last folder opened stays open: entries
// usually come folder by folder.
int StagedCommit::folderFd(const std::vector<std::string>& parts, std::size_t count, bool create,
                           FolderCache& cache) {
    if (count == 0) {
        return root_;
    }
    const std::string path = joined(parts, count);
    if (cache.fd.valid() && cache.path == path) {
        return cache.fd.get();
    }
    cache.fd.reset();
    Fd current;
    int at = root_;
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = parts[i].c_str();
        int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        bool made = false;
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(at, name, 0755) == 0) {
                made = true;
                const std::lock_guard<std::mutex> lock(mutex_);
                createdFolders_.push_back(joined(parts, i + 1));
            } else if (errno != EEXIST) {
                failWithErrno(errno);
            }
            fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        const int openError = errno;
        Fd opened(fd);
        struct stat info {};
        if (made && fd >= 0 && ::fstat(fd, &info) == 0) {
            remember(info.st_dev, info.st_ino, joined(parts, i + 1) + "/");
        }
        // Listed for the next command, should this one be killed before its
        // commit.
        if (made) {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (const int error = staging_.recordFolder(joined(parts, i + 1))) {
                failWithErrno(error);
            }
        }
        if (fd < 0) {
            // A symbolic link or a file where a folder should be.
            failWithErrno(openError == ELOOP ? ENOTDIR : openError);
        }
        current = std::move(opened);
        at = fd;
    }
    cache.fd = std::move(current);
    cache.path = path;
    return cache.fd.get();
}

void StagedCommit::rollback() noexcept {
    // A replaced file that could not be put back waits in the staging
    // folder, whose journal has the next command put it back.
    if (restoreFailed_) {
        staging_.keep();
    }
    cache_.fd.reset();
    cache_.path.clear();
    for (auto it = createdFolders_.rbegin(); it != createdFolders_.rend(); ++it) {
        const std::string& path = *it;
        const std::size_t slash = path.rfind('/');
        const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
        const std::vector<std::string> parent =
            slash == std::string::npos ? std::vector<std::string>()
                                       : splitPath(std::string_view(path.data(), slash));
        try {
            const int folder = folderFd(parent, parent.size(), false, cache_);
            // Only an empty folder goes: whatever else appeared stays.
            ::unlinkat(folder, leaf.c_str(), AT_REMOVEDIR);
        } catch (...) {
        }
    }
}

}  // namespace tyq::unzip::lib
