#pragma once

#include <chrono>
#include <filesystem>
#include <stop_token>
#include <string>

namespace tyq {

// Shown when the folder is in use by another command, of this instance or
// another one.
inline constexpr char kFolderBusyText[] = "Another command is working in this folder";
inline constexpr char kFolderLockFailedText[] = "Cannot lock the folder";
// How long a command waits for another one to finish in its folder.
inline constexpr std::chrono::seconds kCommandWait{3};

// One command per folder at a time, across instances: an advisory lock on a
// file of the user's runtime folder named for the folder's device and inode,
// so every path that leads to the folder takes the same lock. Held from the
// constructor (when it succeeds) to the end of the object.
class FolderLock {
  public:
    // Waits up to `wait` while another command holds the folder, less when
    // stop is requested meanwhile (the lock is then not held, and not busy).
    FolderLock(const std::filesystem::path& folder, std::chrono::milliseconds wait,
               std::stop_token stop = {});
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool held() const noexcept { return fd_ >= 0; }
    // Another command holds the folder (as opposed to a lock that could not
    // be made at all; see failure()).
    bool busy() const noexcept { return busy_; }
    // A few plain words on why no lock could be made.
    const std::string& failure() const noexcept { return failure_; }

  private:
    int fd_ = -1;
    bool busy_ = false;
    std::string failure_;
};

// Where the locks live: $XDG_RUNTIME_DIR/tyqlmftp when the runtime folder is
// usable, else a private folder /tmp/tyqlmftp-<uid>. Made when missing; a
// folder there that is not this user's alone is refused. Empty, with the
// reason in `failure`, when neither can be used.
std::filesystem::path lockFolder(std::string& failure);

}  // namespace tyq
