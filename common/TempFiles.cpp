#include "common/TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace tyq {
namespace {

// Deep enough for the folders of a subscriber's archives, shallow enough that
// a Location high up a large tree (a home folder) is swept in moments.
constexpr int kMaxDepth = 8;

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

std::size_t sweep(int folder, int depth) {
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(folder));
    if (!dir) {
        ::close(folder);
        return 0;
    }
    std::size_t removed = 0;
    const uid_t me = ::geteuid();
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        struct stat info {};
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            if (depth < kMaxDepth) {  // the root's sweep starts at the limit
                const int sub = ::openat(::dirfd(dir.get()), entry->d_name,
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    removed += sweep(sub, depth + 1);
                }
            }
            continue;
        }
        if (!S_ISREG(info.st_mode) || info.st_uid != me || !isTemporaryName(name)) {
            continue;
        }
        const int fd = ::openat(::dirfd(dir.get()), entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        // Held by a running instance: its work, not a leftover.
        struct stat held {};
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
            held.st_dev == info.st_dev && held.st_ino == info.st_ino &&
            ::unlinkat(::dirfd(dir.get()), entry->d_name, 0) == 0) {
            ++removed;
        }
        ::close(fd);
    }
    return removed;
}

}  // namespace

bool isTemporaryName(std::string_view name) noexcept {
    return name.starts_with(kDownloadTempPrefix) || name.starts_with(kUnzipTempPrefix);
}

std::size_t removeLeftovers(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    // The root as Location: its own files only, not the whole file system.
    struct stat info {};
    struct stat root {};
    const bool isRoot = ::fstat(fd, &info) == 0 && ::stat("/", &root) == 0 &&
                        info.st_dev == root.st_dev && info.st_ino == root.st_ino;
    return sweep(fd, isRoot ? kMaxDepth : 0);
}

}  // namespace tyq
