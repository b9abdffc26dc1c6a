#include "common/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tyq {
namespace {

// How often a waiting command looks again.
constexpr std::chrono::milliseconds kRetry{50};

// A folder of this user's alone: not a link, owned by us, no access for
// anyone else. Someone else's folder of that name in /tmp is never used.
bool privateFolder(const std::string& path, std::string& failure) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        failure = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        failure = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
        failure = path + " is not a private folder of this user";
        return false;
    }
    return true;
}

// The holder's tag, the first word of the lock file. Read without the lock,
// so it may be cut or stale; anything but a short lower-case word is nobody.
std::string readHolder(int fd) {
    char text[64];
    const ssize_t n = ::pread(fd, text, sizeof text, 0);
    std::string tag;
    for (ssize_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\n') {
            return tag;
        }
        if ((c < 'a' || c > 'z') && c != '-') {
            return {};
        }
        tag += c;
    }
    return {};  // no end seen: cut or garbage
}

// Written over the old text, then cut to length, so the file never lacks a
// first line for a reader.
void writeHolder(int fd, std::string_view holder) {
    const std::string text = std::string(holder) + " " + std::to_string(::getpid()) + "\n";
    if (::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
        // The lock is held all the same; others read an unknown holder and
        // wait the short time they wait for anyone.
    }
}

}  // namespace

std::filesystem::path lockFolder(std::string& failure) {
    // The runtime folder as the desktop session sets it up: ours, 0700.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &info) == 0 &&
        S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0) {
        const std::string path = std::string(runtime) + "/tyqlmftp";
        if (privateFolder(path, failure)) {
            return path;
        }
    }
    const std::string fallback = "/tmp/tyqlmftp-" + std::to_string(::geteuid());
    if (privateFolder(fallback, failure)) {
        failure.clear();
        return fallback;
    }
    return {};
}

FolderLock::FolderLock(const std::filesystem::path& folder, std::chrono::milliseconds wait,
                       std::stop_token stop, std::string_view holder,
                       const std::function<void()>& waitingForCollection) {
    struct stat target {};
    if (::stat(folder.c_str(), &target) != 0) {
        failure_ = folder.string() + ": " + std::strerror(errno);
        return;
    }
    const std::filesystem::path locks = lockFolder(failure_);
    if (locks.empty()) {
        return;
    }
    char name[64];
    std::snprintf(name, sizeof name, "folder-%llx-%llx",
                  static_cast<unsigned long long>(target.st_dev),
                  static_cast<unsigned long long>(target.st_ino));
    const std::string path = (locks / name).string();
    // Lock files stay: removing one would race with a command opening it.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        failure_ = path + ": " + std::strerror(errno);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool waitingSaid = false;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            writeHolder(fd_, holder);
            return;
        }
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            failure_ = path + ": " + std::strerror(error);
            break;
        }
        if (error == EWOULDBLOCK) {
            holder_ = readHolder(fd);
            // The tag stays after its holder has gone, for the next holder to
            // write over; a tag read half-written while waiting for a
            // collection goes on waiting.
            const bool collection = waitingForCollection && (holder_ == kCollectionHolder ||
                                                             (waitingSaid && holder_.empty()));
            if (collection && !waitingSaid) {
                waitingSaid = true;
                waitingForCollection();
            }
            if (!collection && std::chrono::steady_clock::now() >= deadline) {
                busy_ = true;
                break;
            }
        }
        if (stop.stop_requested()) {
            failure_ = "stopped";
            break;
        }
        std::this_thread::sleep_for(kRetry);
    }
    ::close(fd);
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) {
        ::close(fd_);  // lets go of the lock
    }
}

}  // namespace tyq
