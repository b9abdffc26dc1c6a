#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

namespace tyq {

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

// One command per folder at a time, across instances: an advisory lock on a
// file of the user's runtime folder named for the folder's device and inode,
// so every path that leads to the folder takes the same lock. Held from the
// constructor (when it succeeds) to the end of the object.
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

    bool held() const noexcept { return fd_ >= 0; }
    // Another command holds the folder (as opposed to a lock that could not
    // be made at all; see failure()).
    bool busy() const noexcept { return busy_; }
    // A few plain words on why no lock could be made.
    const std::string& failure() const noexcept { return failure_; }
    // Who held the folder when busy() (kWindowHolder, kCollectionHolder...);
    // empty when its lock file told nothing readable.
    const std::string& holder() const noexcept { return holder_; }

  private:
    int fd_ = -1;
    bool busy_ = false;
    std::string failure_;
    std::string holder_;
};

// Where the locks live: $XDG_RUNTIME_DIR/tyqlmftp when the runtime folder is
// usable, else a private folder /tmp/tyqlmftp-<uid>. Made when missing; a
// folder there that is not this user's alone is refused. Empty, with the
// reason in `failure`, when neither can be used.
std::filesystem::path lockFolder(std::string& failure);

}  // namespace tyq
