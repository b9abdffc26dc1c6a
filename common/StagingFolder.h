#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tyq {

// Every temporary file of a command lives in a staging folder of its own at
// the top of the Location, and reaches its final name by a rename. Hidden,
// and matching neither "*.ZIP" nor "QLM*", so no step of the program takes
// one for a download or an archive. The name alone never makes a folder
// ours: a record inside it does (see removeLeftovers). The folder where cut
// short downloads wait shares the prefix but has a record of another kind,
// so it is never swept with them.
inline constexpr char kDownloadTempPrefix[] = ".tyqlmftp-";
inline constexpr char kUnzipTempPrefix[] = ".tyunzip-";

// The names our staging folders take.
bool isTemporaryName(std::string_view name) noexcept;

// A new file of an archive, staged, and its final place.
struct StagedEntry {
    std::string staged;  // its name in the staging folder (digits only)
    ino_t inode = 0;     // its identity, which the rename keeps
    std::string path;    // its final path, relative to the Location
    // The file it replaces, as the commit found it at the path; 0 when the
    // path was free. Only that file (or nothing) is ever replaced.
    dev_t replacedDevice = 0;
    ino_t replacedInode = 0;
};

// What placeStaged returns when the path no longer holds the file it was to
// replace: someone wrote there meanwhile, and that stays.
inline constexpr int kPathChanged = ESTALE;

// A staging folder: made at the top of a Location with a record of its own
// identity inside, removed with everything in it when the object ends
// unless kept for the next command to finish.
class StagingFolder {
  public:
    StagingFolder() = default;
    ~StagingFolder();
    StagingFolder(StagingFolder&& other) noexcept;
    StagingFolder& operator=(StagingFolder&& other) noexcept;
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    // Makes one in the folder `location` is open on, or in the folder named.
    // 0, or the errno value of the failure.
    int create(int location, std::string_view prefix);
    int create(const std::filesystem::path& location, std::string_view prefix);

    bool valid() const noexcept { return fd_ >= 0; }
    int fd() const noexcept { return fd_; }
    dev_t device() const noexcept { return device_; }
    // Only for a staging folder made from a path.
    const std::filesystem::path& path() const noexcept { return path_; }

    // The commit's plan, flushed before its first rename: a command killed
    // during the renames is finished by the next one. 0 or an errno value.
    int writeJournal(const std::vector<StagedEntry>& entries) const;
    // From here the commit is being undone, should it be cut short again.
    int markUndo() const;
    // A folder made in the Location for the entries (relative path): it goes
    // again if the commit does not happen.
    int recordFolder(std::string_view path) const;
    // Left in place for the next command (a replaced file in it could not be
    // put back).
    void keep() noexcept { kept_ = true; }

  private:
    void release() noexcept;
    int location_ = -1;
    int fd_ = -1;
    std::string name_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::filesystem::path path_;
    bool kept_ = false;
};

// Gives the staged file its final name `leaf` in `folder`: a free name only
// if nothing took it meanwhile (EEXIST), a file that `existed` exchanged with
// it (or first moved aside into the staging folder where the file system
// cannot exchange). With `replaced`'s device and inode known, only that file is
// replaced: anything else found under the name goes back at once and
// kPathChanged is returned. 0, or the errno value of the failure.
int placeStaged(int staging, const std::string& staged, int folder, const std::string& leaf,
                bool existed, const StagedEntry& replaced);
// Undoes placeStaged, whichever step it reached: the new file (known by
// its identity) back into the staging folder, a replaced file back under
// its name. False when something of ours could not be put back.
bool restoreStaged(int staging, const std::string& staged, dev_t device, ino_t inode, int folder,
                   const std::string& leaf);

}  // namespace tyq
