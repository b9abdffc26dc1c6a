#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/Fd.h"
#include "common/FolderLock.h"
#include "common/StagingFolder.h"
#include "download/CollectState.h"
#include "download/PartialStore.h"

namespace tyq::commands {

// How a command takes its folder from another one working there.
struct FolderPolicy {
    // How long it waits for the other command.
    std::chrono::milliseconds wait{0};
    // Who it is, as the lock tells the others.
    std::string_view holder = kWindowHolder;
    // With one, a collection's hold is waited out however long it takes;
    // called once as that wait starts.
    std::function<void()> waitingForCollection;
};

// One command's hold on the Location, from its start to its end: the folder
// opened once, its lock, what killed commands left there finished first, the
// command's staging folder and the collection's record, read once.
class FolderRun {
  public:
    enum class Hold { Held, Busy, LockFailed, Stopped, NoFolder };

    // folder: the Location, "~/" expanded, without a trailing slash (empty
    // is the top folder).
    FolderRun(std::string folder, const FolderPolicy& policy, std::stop_token stop);
    FolderRun(const FolderRun&) = delete;
    FolderRun& operator=(const FolderRun&) = delete;

    Hold hold() const noexcept { return hold_; }
    bool held() const noexcept { return hold_ == Hold::Held; }
    // Why the folder could not be locked, when LockFailed.
    const std::string& lockFailure() const noexcept { return lockFailure_; }
    const std::string& folder() const noexcept { return folder_; }
    // The folder with its trailing slash, as the extraction takes it.
    std::string destination() const { return folder_ + "/"; }
    // The folder as opened at the start.
    int fd() const noexcept { return fd_.get(); }
    // Files written since in a place where an interrupted commit would have
    // put its own: left as they are, one note each.
    const std::vector<std::string>& kept() const noexcept { return kept_; }

    // Where fetches cut short wait to be resumed, opened on the first call;
    // nothing when it cannot be opened.
    download::PartialStore* partials();

    // A staging folder of this run's own for temporary files, made on the
    // first call; nothing when it cannot be made (they go beside their
    // final names, where each then meets the failure and names it).
    std::optional<std::string> staging();

    // The record of what was collected, read on the first call. Why it could
    // not be read, in `readFailure` (it then starts empty).
    download::CollectState& record(const std::filesystem::path& stateFolder);
    const std::optional<std::string>& readFailure() const noexcept { return readFailure_; }

  private:
    std::string folder_;
    Fd fd_;
    std::optional<FolderLock> lock_;
    Hold hold_ = Hold::NoFolder;
    std::string lockFailure_;
    std::vector<std::string> kept_;
    std::optional<StagingFolder> staging_;
    bool partialsOpened_ = false;
    std::unique_ptr<download::PartialStore> partials_;
    std::optional<download::CollectState> record_;
    std::optional<std::string> readFailure_;
};

}  // namespace tyq::commands
