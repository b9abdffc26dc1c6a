#pragma once

#include <filesystem>

#include "common/MainWindowPort.h"
#include "common/Prompter.h"
#include "settings/ProfileStore.h"

namespace tyq::download {

// The "&Download Files" command: saves the Step 1 fields, prepares the local
// folder and downloads the mailbox into it. libraryFolder holds the program's
// own libraries (the dial-up service).
void downloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                   Prompter& prompter, const std::filesystem::path& libraryFolder);

// The process's download counter: 1 at start, 0 right after the command has
// created the local folder, one more after each transfer. The delete question
// is asked only while it is 1 or more.
int downloadCounter();
// Puts the counter back to its starting value; for tests, which run many
// commands in one process.
void resetDownloadCounterForTests();

}  // namespace tyq::download
