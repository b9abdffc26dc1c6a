#pragma once

#include <filesystem>

#include "commands/CommandOutcome.h"
#include "common/MainWindowPort.h"
#include "settings/ProfileStore.h"

namespace tyq::commands {

// The "&Unzip Download Files" command: saves the Step 1 fields and extracts
// every "QLM*.ZIP" of the local folder with the zip password. libraryFolder
// holds the program's own libraries (the unzip library). Returns how it ended.
CommandOutcome unzipDownloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                                  const std::filesystem::path& libraryFolder);

}  // namespace tyq::commands
