#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "commands/CommandOutcome.h"
#include "common/MainWindowPort.h"
#include "settings/ProfileStore.h"

namespace tyq::commands {

// The "&Unzip Download Files" command: saves the Step 1 fields and extracts
// every "QLM*.ZIP" of the local folder with the zip password. libraryFolder
// holds the program's own libraries (the unzip library). Returns how it ended.
CommandOutcome unzipDownloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                                  const std::filesystem::path& libraryFolder);

// "QLM0102.ZIP and QLM0103.ZIP stay whole": the archives a stop left, three
// named at most. Empty when there are none.
std::string leftWholeText(const std::vector<std::string>& archives);

}  // namespace tyq::commands
