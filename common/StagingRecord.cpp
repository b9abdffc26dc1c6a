#include "common/StagingRecord.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "common/Fd.h"
#include "common/SmallFiles.h"

namespace tyq::staging {
namespace {

constexpr char kRecordName[] = "staging";
constexpr char kUndoName[] = "undo";
constexpr char kFoldersName[] = "folders";
constexpr std::size_t kMaxRecordBytes = 128;

std::string recordText(const struct stat& info) {
    char text[kMaxRecordBytes];
    std::snprintf(text, sizeof text, "tyqlmftp staging %" PRIuMAX " %" PRIuMAX "\n",
                  static_cast<std::uintmax_t>(info.st_dev),
                  static_cast<std::uintmax_t>(info.st_ino));
    return text;
}

}  // namespace

int writeRecord(int staging, const struct stat& info) {
    const Fd record(
        ::openat(staging, kRecordName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return record.valid() ? writeAll(record.get(), recordText(info)) : errno;
}

bool recordNames(int staging, const struct stat& info) {
    const auto record = readSmall(staging, kRecordName, kMaxRecordBytes);
    return record && *record == recordText(info);
}

int markUndo(int staging) {
    const Fd fd(::openat(staging, kUndoName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.valid() && ::fsync(staging) == 0 ? 0 : errno;
}

bool undoMarked(int staging) {
    struct stat info {};
    return ::fstatat(staging, kUndoName, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

int recordFolder(int staging, std::string_view path) {
    std::string text;
    appendPath(text, path);
    const Fd fd(::openat(staging, kFoldersName,
                         O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.valid() ? writeAll(fd.get(), text) : errno;
}

std::vector<std::string> recordedFolders(int staging) {
    std::vector<std::string> paths;
    const auto text = readSmall(staging, kFoldersName, SIZE_MAX / 2);
    std::size_t at = 0;
    for (std::string path; text && at < text->size() && readPath(*text, at, path);) {
        paths.push_back(path);
    }
    return paths;
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

}  // namespace tyq::staging
