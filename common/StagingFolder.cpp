#include "common/StagingFolder.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "common/Fd.h"
#include "common/SmallFiles.h"
#include "common/StagingRecord.h"

namespace tyq {

using namespace staging;

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
            error = writeRecord(fd.get(), info);
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
    return staging::markUndo(fd_);
}

int StagingFolder::recordFolder(std::string_view path) const {
    return staging::recordFolder(fd_, path);
}

namespace {

// The failed rename is one the file system does not offer.
bool unsupported() {
    return errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
}

// Gives the staged file a name that was free, if nothing took it meanwhile.
int placeAtFreeName(int staging, const std::string& staged, int folder, const std::string& leaf) {
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

}  // namespace

int placeStaged(int staging, const std::string& staged, int folder, const std::string& leaf,
                bool existed, const StagedEntry& replaced) {
    // What left the name is the very file the journal says it replaces.
    const auto expected = [&](const std::string& name) {
        struct stat info {};
        return ::fstatat(staging, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
               replaced.replacedInode != 0 && info.st_dev == replaced.replacedDevice &&
               info.st_ino == replaced.replacedInode;
    };
    if (!existed) {
        return placeAtFreeName(staging, staged, folder, leaf);
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
}  // namespace tyq
