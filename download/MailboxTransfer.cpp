#include "download/MailboxTransfer.h"

#include "common/Texts.h"
#include "download/CollectState.h"
#include "download/DialUpCheck.h"
#include "download/KnownServers.h"
#include "download/TransferReport.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"

namespace tyq::download {

bool transferMailbox(MainWindowPort& window, const settings::ProfileStore& profiles,
                     const std::filesystem::path& libraryFolder, const TransferOptions& options) {
    // Read once, at the start: nothing can change them while the command runs.
    const settings::Snapshot values = settings::readSnapshot(profiles);
    TransferPlan plan;
    plan.agent = kProgramName;
    plan.timeouts = options.timeouts;
    plan.staging = options.staging;
    plan.knownServers = profiles.folder() / kKnownServersFileName;
    plan.folder = options.folder ? *options.folder : values.local;
    TransferReport report(window, plan.folder, options.clock, options.prompter, transferLogPath());
    plan.server.host = values.host;
    plan.server.port = values.port;
    plan.server.user = window.userId();
    plan.server.password = values.pass;
    plan.server.encryption = encryptionFrom(values.encryption);
    plan.connections = values.connections;
    // The placeholder a fresh setup holds is no server: nothing to dial or
    // look up for it.
    plan.placeholder = plan.server.host == settings::kDefaultHost;
    // Offers the dial-up phonebook when needed, which is a dialog of the
    // window's.
    plan.connect = [&] {
        window.runOnWindowThread([&] { EnsureDialUpConnection(values.aol, libraryFolder); });
    };
    const auto outcome = runTransfer(plan, report, window.stopToken());
    if (options.stateFolder) {
        // The next collection does not fetch again what arrived here.
        if (auto failure = recordCollected(*options.stateFolder, outcome, options.clock())) {
            report.note(*failure);
        }
    }
    return outcome.end == TransferEnd::Finished;
}

}  // namespace tyq::download
