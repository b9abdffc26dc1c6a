#include "commands/Plans.h"

#include "common/Texts.h"
#include "download/KnownServers.h"
#include "settings/Keys.h"

namespace tyq::commands {

Plans makePlans(const settings::Snapshot& values, const settings::ProfileStore& profiles,
                const std::string& folder, const std::filesystem::path& libraryFolder) {
    Plans plans;
    auto& transfer = plans.transfer;
    transfer.agent = kProgramName;
    transfer.server.host = values.host;
    transfer.server.port = values.port;
    transfer.server.user = values.user;
    transfer.server.password = values.pass;
    transfer.server.encryption = download::encryptionFrom(values.encryption);
    transfer.connections = values.connections;
    // The placeholder a fresh setup holds is no server: nothing to dial or
    // look up for it.
    transfer.placeholder = values.host == settings::kDefaultHost;
    transfer.knownServers = profiles.folder() / download::kKnownServersFileName;
    transfer.folder = folder;
    auto& extraction = plans.extraction;
    // An empty Location names the top folder, as it always has.
    extraction.destination = folder + "/";
    extraction.password = values.zipPass;
    extraction.libraryFolder = libraryFolder;
    return plans;
}

}  // namespace tyq::commands
