#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "download/CollectState.h"
#include "download/TransferReport.h"

namespace tyq::commands {

// A download's report that also keeps the record of what was collected,
// a file at a time as each one ends: a file in place is done, an archive
// to extract waits for its extraction, a file that failed is fetched
// again next time. The first record that cannot be kept is noted and
// handed to `failed` (a collection then stops fetching).
class RecordingReport : public download::TransferReport {
  public:
    RecordingReport(CommandPort& port, std::string folder, std::function<std::time_t()> clock,
                    Prompter* prompter, std::string logPath, download::CollectState& record,
                    std::function<void(const download::StateFailure&)> failed = {});

    void listed(const download::ZipListing& listing) override;
    void fileArrived(std::size_t item, const download::ArrivedFile& arrived) override;
    void fileFailed(std::size_t item, const download::FailedFile& failed) override;

    const std::optional<download::StateFailure>& failure() const noexcept { return failure_; }

  private:
    void keep(std::size_t item, download::FileWork work);

    std::function<std::time_t()> clock_;
    download::CollectState& record_;
    std::function<void(const download::StateFailure&)> failed_;
    const download::ZipListing* listing_ = nullptr;
    std::optional<download::StateFailure> failure_;
};

}  // namespace tyq::commands
