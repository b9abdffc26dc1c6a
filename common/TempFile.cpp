#include "common/TempFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <utility>

namespace tyq {
namespace {

// Names tried before giving up: a folder where this many random names are
// all taken is not one to write in.
constexpr int kTries = 100;

// A decimal number without leading zeros: a staging folder's journal reads
// staged names back as numbers.
std::string freshName(std::string_view prefix, int attempt) {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
        random = static_cast<std::uint64_t>(::getpid()) * 1000003u +
                 static_cast<std::uint64_t>(attempt) * 7919u +
                 static_cast<std::uint64_t>(::time(nullptr));
    }
    return std::string(prefix) + std::to_string(random);
}

}  // namespace

TempFile::~TempFile() {
    drop();
}

TempFile::TempFile(TempFile&& other) noexcept
    : folder_(std::exchange(other.folder_, -1)),
      ownsFolder_(std::exchange(other.ownsFolder_, false)),
      fd_(std::exchange(other.fd_, -1)),
      name_(std::move(other.name_)),
      device_(other.device_),
      inode_(other.inode_) {
    other.name_.clear();
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        drop();
        folder_ = std::exchange(other.folder_, -1);
        ownsFolder_ = std::exchange(other.ownsFolder_, false);
        fd_ = std::exchange(other.fd_, -1);
        name_ = std::move(other.name_);
        other.name_.clear();
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

void TempFile::drop() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!name_.empty() && folder_ >= 0) {
        ::unlinkat(folder_, name_.c_str(), 0);
    }
    release();
}

void TempFile::release() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (ownsFolder_ && folder_ >= 0) {
        ::close(folder_);
    }
    folder_ = -1;
    ownsFolder_ = false;
    name_.clear();
}

int TempFile::create(int folder, std::string_view prefix, mode_t mode, std::string_view first) {
    drop();
    for (int attempt = 0; attempt < kTries; ++attempt) {
        const std::string name =
            attempt == 0 && !first.empty() ? std::string(first) : freshName(prefix, attempt);
        const int fd = ::openat(folder, name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return errno;
        }
        folder_ = folder;
        fd_ = fd;
        name_ = name;
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            const int error = errno;
            drop();
            return error;
        }
        device_ = info.st_dev;
        inode_ = info.st_ino;
        return 0;
    }
    return EEXIST;
}

int TempFile::create(const std::filesystem::path& folder, std::string_view prefix, mode_t mode) {
    drop();
    const int at = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (at < 0) {
        return errno;
    }
    const int error = create(at, prefix, mode);
    if (error != 0) {
        ::close(at);
        return error;
    }
    ownsFolder_ = true;
    return 0;
}

int TempFile::close() noexcept {
    const int fd = std::exchange(fd_, -1);
    return fd >= 0 && ::close(fd) != 0 ? errno : 0;
}

int TempFile::commit(int folder, const std::string& leaf) {
    if (!valid()) {
        return EBADF;
    }
    if (const int error = close()) {
        return error;
    }
    if (::renameat(folder_, name_.c_str(), folder, leaf.c_str()) != 0) {
        return errno;
    }
    release();
    return 0;
}

int TempFile::moveTo(int folder) {
    if (!valid()) {
        return EBADF;
    }
    if (::renameat2(folder_, name_.c_str(), folder, name_.c_str(), RENAME_NOREPLACE) != 0) {
        return errno;
    }
    if (std::exchange(ownsFolder_, false)) {
        ::close(folder_);
    }
    folder_ = folder;
    return 0;
}

int TempFile::commit(const std::filesystem::path& target) {
    return commit(AT_FDCWD, target.string());
}

}  // namespace tyq
