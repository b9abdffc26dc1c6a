#pragma once

#include <sys/file.h>
#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace tyq {

// Our own temporary files in the local folder: a download in progress, and
// an entry being extracted. Hidden, and matching neither "*.ZIP" nor "QLM*",
// so no step of the program takes one for a download or an archive.
inline constexpr char kDownloadTempPrefix[] = ".tyqlmftp-";
inline constexpr char kUnzipTempPrefix[] = ".tyunzip-";

// Marks a freshly created temporary file as in use for as long as fd stays
// open, so a cleanup by another instance leaves it alone. False when a
// cleanup removed the name before the mark was taken: the caller closes fd
// and creates another file.
inline bool claimTemporary(int fd) noexcept {
    struct stat info {};
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &info) == 0 && info.st_nlink > 0;
}

bool isTemporaryName(std::string_view name) noexcept;

// Removes the temporary files that a run killed before it could tidy up left
// in folder and the folders below it (a few levels; the root's own files
// only): only names of our own, only regular files of this user, only files
// no running instance has claimed. Symbolic links are not followed. Returns
// how many were removed.
std::size_t removeLeftovers(const std::filesystem::path& folder);

}  // namespace tyq
