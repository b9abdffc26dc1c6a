#include "commands/FolderRun.h"

#include <fcntl.h>

#include "common/Leftovers.h"

namespace tyq::commands {

FolderRun::FolderRun(std::string folder, const FolderPolicy& policy, std::stop_token stop)
    : folder_(std::move(folder)) {
    fd_.reset(::open(destination().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A folder that is not there has nothing to lock.
    if (fd_.get() < 0) {
        return;
    }
    lock_.emplace(destination(), policy.wait, stop, policy.holder, policy.waitingForCollection);
    if (lock_->held()) {
        hold_ = Hold::Held;
        // What a killed command left (an archive's commit cut short is
        // finished first), only at the top of the folder. A file written
        // since in a place of that commit stays, and is named.
        removeLeftovers(destination(), &kept_);
    } else if (stop.stop_requested()) {
        hold_ = Hold::Stopped;
    } else {
        hold_ = lock_->busy() ? Hold::Busy : Hold::LockFailed;
        lockFailure_ = lock_->failure();
    }
}

std::optional<std::string> FolderRun::staging() {
    if (!staging_) {
        staging_.emplace();
        if (staging_->create(destination(), kDownloadTempPrefix) != 0) {
            return std::nullopt;
        }
    }
    if (!staging_->valid()) {
        return std::nullopt;
    }
    return staging_->path().string();
}

download::PartialStore* FolderRun::partials() {
    if (!partialsOpened_) {
        partialsOpened_ = true;
        partials_ = download::PartialStore::open(folder_);
    }
    return partials_.get();
}

download::CollectState& FolderRun::record(const std::filesystem::path& stateFolder) {
    if (!record_) {
        record_.emplace(stateFolder);
        readFailure_ = record_->load();
    }
    return *record_;
}

}  // namespace tyq::commands
