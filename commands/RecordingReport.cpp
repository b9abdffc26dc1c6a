#include "commands/RecordingReport.h"

#include "common/FileSearch.h"

namespace tyq::commands {

RecordingReport::RecordingReport(CommandPort& port, std::string folder,
                                 std::function<std::time_t()> clock, Prompter* prompter,
                                 std::string logPath, download::CollectState& record,
                                 std::function<void(const download::StateFailure&)> failed)
    : TransferReport(port, std::move(folder), clock, prompter, std::move(logPath)),
      clock_(std::move(clock)),
      record_(record),
      failed_(std::move(failed)) {}

void RecordingReport::listed(const download::ZipListing& listing) {
    listing_ = &listing;
    TransferReport::listed(listing);
}

void RecordingReport::fileArrived(std::size_t item, const download::ArrivedFile& arrived) {
    TransferReport::fileArrived(item, arrived);
    // An archive to extract is collected once extracted, not once here.
    keep(item, matchesPattern(arrived.name, NamePattern::QlmZip) ? download::FileWork::Waiting
                                                                 : download::FileWork::Done);
}

void RecordingReport::fileFailed(std::size_t item, const download::FailedFile& failed) {
    TransferReport::fileFailed(item, failed);
    keep(item, download::FileWork::Failed);
}

void RecordingReport::keep(std::size_t item, download::FileWork work) {
    if (listing_ == nullptr || failure_) {
        return;
    }
    failure_ = record_.append(download::listedFile(*listing_, item), work, clock_());
    if (failure_) {
        note(failure_->text);
        if (failed_) {
            failed_(*failure_);
        }
    }
}

}  // namespace tyq::commands
