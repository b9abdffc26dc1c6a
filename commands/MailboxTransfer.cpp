#include "commands/MailboxTransfer.h"

#include "commands/Plans.h"
#include "commands/RecordingReport.h"
#include "download/DialUpCheck.h"
#include "download/TransferLog.h"
#include "settings/CSettings.h"

namespace tyq::commands {

bool transferMailbox(MainWindowPort& window, const settings::ProfileStore& profiles,
                     const std::filesystem::path& libraryFolder, const TransferOptions& options) {
    return transferMailbox(window, window.userId(), window.stopToken(), profiles, libraryFolder,
                           options)
               .end == download::TransferEnd::Finished;
}

download::TransferOutcome transferMailbox(CommandPort& window, const std::string& user,
                                          std::stop_token stop,
                                          const settings::ProfileStore& profiles,
                                          const std::filesystem::path& libraryFolder,
                                          const TransferOptions& options) {
    // Read once, at the start: nothing can change them while the command runs.
    const settings::Snapshot values = settings::readSnapshot(profiles);
    auto plan =
        makePlans(values, profiles, options.folder ? *options.folder : values.local, libraryFolder)
            .transfer;
    plan.timeouts = options.timeouts;
    plan.staging = options.staging;
    plan.partials = options.partials;
    std::optional<download::TransferReport> plain;
    std::optional<RecordingReport> recording;
    if (options.record != nullptr) {
        recording.emplace(window, plan.folder, options.clock, options.prompter,
                          download::transferLogPath(), *options.record);
    } else {
        plain.emplace(window, plan.folder, options.clock, options.prompter,
                      download::transferLogPath());
    }
    download::TransferReport& report =
        recording ? static_cast<download::TransferReport&>(*recording) : *plain;
    plan.server.user = user;
    // Offers the dial-up phonebook when needed, which is a dialog of the
    // window's.
    plan.connect = [&] {
        window.runOnWindowThread(
            [&] { download::EnsureDialUpConnection(values.aol, libraryFolder); });
    };
    return download::runTransfer(plan, report, std::move(stop));
}

}  // namespace tyq::commands
