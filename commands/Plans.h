#pragma once

#include <filesystem>
#include <string>

#include "download/TransferJob.h"
#include "settings/CSettings.h"
#include "settings/ProfileStore.h"
#include "unzip/ExtractArchives.h"

namespace tyq::commands {

// What a command works from, read from the settings once at its start:
// nothing is read from them while it runs.
struct Plans {
    download::TransferPlan transfer;
    unzip::ExtractionPlan extraction;
};

// The plans for a command in `folder` (no trailing slash). The transfer
// plan has the settings' server, connections and known servers; the
// extraction plan the zip password and the folder, its archives still to
// name. What only the command knows (the window's user ID, its staging
// folder, which files it wants) it adds itself.
Plans makePlans(const settings::Snapshot& values, const settings::ProfileStore& profiles,
                const std::string& folder, const std::filesystem::path& libraryFolder);

}  // namespace tyq::commands
