#include "download/MailboxTransfer.h"

#include <algorithm>

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
    const settings::CSettings named(profiles);
    TransferPlan plan;
    plan.agent = kProgramName;
    plan.timeouts = options.timeouts;
    plan.staging = options.staging;
    plan.knownServers = profiles.folder() / kKnownServersFileName;
    // Read once: nothing can change them while the command runs.
    plan.folder = options.folder
                      ? *options.folder
                      : profiles.getString(settings::kSection, settings::kLocal, "",
                                           settings::kWholeValueCapacity, settings::kFileName);
    TransferReport report(window, plan.folder, options.clock, options.prompter, transferLogPath());
    plan.server.host = named.host();
    plan.server.port = profiles.getInt(settings::kSection, settings::kPort, settings::kDefaultPort,
                                       settings::kFileName);
    plan.server.user = window.userId();
    plan.server.password = named.password();
    plan.server.encryption =
        encryptionFrom(profiles.getString(settings::kSection, settings::kEncryption, "",
                                          settings::kWholeValueCapacity, settings::kFileName));
    plan.connections =
        std::clamp(profiles.getInt(settings::kSection, settings::kConnections,
                                   settings::kDefaultConnections, settings::kFileName),
                   1, settings::kMaxConnections);
    // The placeholder a fresh setup holds is no server: nothing to dial or
    // look up for it.
    plan.placeholder = plan.server.host == settings::kDefaultHost;
    // Reads "AOL" itself and offers the dial-up phonebook when needed, which
    // is a dialog of the window's.
    plan.connect = [&] {
        window.runOnWindowThread([&] { EnsureDialUpConnection(profiles, libraryFolder); });
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
