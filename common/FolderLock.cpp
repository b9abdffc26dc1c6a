#include "common/FolderLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

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

// What one look at a lock file came to.
enum class Try {
    Held,
    Busy,       // another command holds it
    Again,      // it was let go and removed meanwhile: look again at once
    Elsewhere,  // this folder takes no lock file: the runtime folder's then
    Failed,
};

struct Attempt {
    Try result = Try::Failed;
    Fd fd;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A lock file to trust: a plain file of this user's, of root's (who could
// block anything anyway), or of the folder's owner (root or another account
// working in a user's folder shares that user's lock).
bool trusted(const struct stat& info, uid_t folderOwner) {
    const uid_t me = ::geteuid();
    return S_ISREG(info.st_mode) &&
           (info.st_uid == me || info.st_uid == 0 || info.st_uid == folderOwner);
}

// One try at the lock file `name` in `folder`, made when missing.
Attempt tryLock(int folder, const char* name, uid_t folderOwner, const std::string& shown,
                std::string& failure) {
    Attempt attempt;
    attempt.fd =
        Fd(::openat(folder, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat info {};
    if (!attempt.fd.valid()) {
        const int error = errno;
        // In a folder we cannot write to, whatever lies under the name is
        // not in our way: the lock goes to the runtime folder, as for a
        // read-only one.
        const bool inTheWay = ::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                              ::faccessat(folder, ".", W_OK, AT_EACCESS) == 0;
        if (!inTheWay) {
            failure = shown + ": " + std::strerror(error);
            // A full disk too: the command then meets it and says so.
            if (error == EROFS || error == EACCES || error == EPERM || error == ENOSPC ||
                error == EDQUOT) {
                attempt.result = Try::Elsewhere;
            }
        } else {
            // A link, a folder or someone else's file: never removed, since
            // a command of ours may have made a new one under the name by
            // then. The user sees which file is in the way.
            failure = shown + " is not a lock file of this user's";
        }
        return attempt;
    }
    if (::fstat(attempt.fd.get(), &info) != 0) {
        failure = shown + ": " + std::strerror(errno);
        return attempt;
    }
    if (info.st_nlink == 0) {
        attempt.result = Try::Again;  // its holder removed it as we opened it
        return attempt;
    }
    if (!trusted(info, folderOwner)) {
        failure = shown + " is not a lock file of this user's";
        return attempt;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;  // the whole file
    if (::fcntl(attempt.fd.get(), F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        if (error == EAGAIN || error == EACCES) {
            attempt.result = Try::Busy;
        } else if (error == EINTR) {
            attempt.result = Try::Again;
        } else {
            failure = shown + ": " + std::strerror(error);
            if (error == ENOLCK || error == EOPNOTSUPP || error == EINVAL) {
                attempt.result = Try::Elsewhere;  // a network file system without locks
            }
        }
        return attempt;
    }
    // A holder removes the file before it lets go: a lock on a file no longer
    // under the name holds nothing.
    struct stat now {};
    attempt.result = ::fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, info)
                         ? Try::Held
                         : Try::Again;
    return attempt;
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
    Fd where(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat target {};
    if (!where.valid() || ::fstat(where.get(), &target) != 0) {
        failure_ = folder.string() + ": " + std::strerror(errno);
        return;
    }
    std::string name = kFolderLockName;
    std::string shown = (folder / name).string();
    bool inFolder = true;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool waitingSaid = false;
    int again = 0;
    for (;;) {
        Attempt attempt = tryLock(where.get(), name.c_str(), target.st_uid, shown, failure_);
        switch (attempt.result) {
            case Try::Held:
                failure_.clear();
                fd_ = std::move(attempt.fd);
                if (inFolder) {
                    folder_ = std::move(where);
                }
                writeHolder(fd_.get(), holder);
                return;
            case Try::Again:
                if (++again < 100) {
                    continue;
                }
                break;
            case Try::Elsewhere: {
                if (!inFolder) {
                    return;
                }
                const std::filesystem::path locks = lockFolder(failure_);
                if (locks.empty()) {
                    return;
                }
                char file[64];
                std::snprintf(file, sizeof file, "folder-%llx-%llx",
                              static_cast<unsigned long long>(target.st_dev),
                              static_cast<unsigned long long>(target.st_ino));
                where = Fd(::open(locks.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                name = file;
                shown = (locks / name).string();
                inFolder = false;
                target.st_uid = ::geteuid();
                continue;
            }
            case Try::Busy: {
                holder_ = readHolder(attempt.fd.get());
                // The tag stays after its holder has gone, for the next holder
                // to write over; a tag read half-written while waiting for a
                // collection goes on waiting.
                const bool collection = waitingForCollection && (holder_ == kCollectionHolder ||
                                                                 (waitingSaid && holder_.empty()));
                if (collection && !waitingSaid) {
                    waitingSaid = true;
                    waitingForCollection();
                }
                if (!collection && std::chrono::steady_clock::now() >= deadline) {
                    busy_ = true;
                    return;
                }
                break;
            }
            case Try::Failed:
                return;
        }
        again = 0;
        if (stop.stop_requested()) {
            failure_ = "stopped";
            return;
        }
        std::this_thread::sleep_for(kRetry);
    }
}

FolderLock::~FolderLock() {
    // Removed while still held: a command that opened it meanwhile finds its
    // lock on a file no longer under the name, and makes a new one.
    struct stat held {};
    struct stat named {};
    if (folder_.valid() && ::fstat(fd_.get(), &held) == 0 &&
        ::fstatat(folder_.get(), kFolderLockName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(held, named)) {
        ::unlinkat(folder_.get(), kFolderLockName, 0);
    }
}

}  // namespace tyq
