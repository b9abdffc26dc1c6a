#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/Fd.h"

namespace tyq {

// The lock file at the top of a folder while a command works in it.
inline constexpr char kFolderLockName[] = ".tyqlmftp-lock";
// Shown when the folder is in use by another command, of this instance or
// another one.
inline constexpr char kFolderBusyText[] = "Another command is working in this folder";
inline constexpr char kFolderLockFailedText[] = "Cannot lock the folder";
// How long a command waits for another one to finish in its folder.
inline constexpr std::chrono::seconds kCommandWait{3};
// Shown while a command of the window waits for a collection without a
// window, which may take a while, to finish in its folder.
inline constexpr char kWaitingForCollectionText[] =
    "Waiting for the daily collection to finish in this folder";
// Who holds a folder, as its lock file tells the others.
inline constexpr char kWindowHolder[] = "window";
inline constexpr char kCollectionHolder[] = "collect";

// One command per folder at a time, across instances and whatever the
// environment of each (a session, cron, ssh, su): an open-file-description
// lock on a lock file at the top of the folder itself, made by the holder
// and removed when it lets go. The file is this user's, mode 0600, so no
// other user can open, take or block it. Held from the constructor (when it
// succeeds) to the end of the object.
//
// A folder that takes no such file (read-only, not writable by this user,
// full, or a network file system without locks) is locked in the user's
// runtime folder instead, by a file named for its device and inode.
//
// The holder's tag and process id stand in the lock file while it holds it,
// so a command that meets a held lock can tell who holds it.
class FolderLock {
  public:
    // Waits up to `wait` while another command holds the folder, less when
    // stop is requested meanwhile (the lock is then not held, and not busy).
    // With waitingForCollection, a collection's hold is waited out however
    // long it takes, until stop; the function is called once as that starts.
    FolderLock(const std::filesystem::path& folder, std::chrono::milliseconds wait,
               std::stop_token stop = {}, std::string_view holder = kWindowHolder,
               const std::function<void()>& waitingForCollection = {});
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool held() const noexcept { return fd_.valid(); }
    // Another command holds the folder (as opposed to a lock that could not
    // be made at all; see failure()).
    bool busy() const noexcept { return busy_; }
    // A few plain words on why no lock could be made.
    const std::string& failure() const noexcept { return failure_; }
    // Who held the folder when busy() (kWindowHolder, kCollectionHolder...);
    // empty when its lock file told nothing readable.
    const std::string& holder() const noexcept { return holder_; }

  private:
    Fd fd_;
    // The folder the lock file is removed from when let go; not valid for a
    // lock file of the runtime folder, which stays.
    Fd folder_;
    bool busy_ = false;
    std::string failure_;
    std::string holder_;
};

// The user's runtime folder for the program's sockets and the locks of
// folders that take no lock file: $XDG_RUNTIME_DIR/tyqlmftp when that is
// usable, else a private folder /tmp/tyqlmftp-<uid>. Made when missing; a
// folder there that is not this user's alone is refused. Empty, with the
// reason in `failure`, when neither can be used.
std::filesystem::path lockFolder(std::string& failure);

}  // namespace tyq
