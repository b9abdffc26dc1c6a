#pragma once

#include <filesystem>

#include "commands/CommandOutcome.h"
#include "common/MainWindowPort.h"
#include "common/Prompter.h"
#include "download/LocalFolder.h"
#include "settings/ProfileStore.h"

namespace tyq::commands {

// The "&Download Files" command: saves the Step 1 fields, prepares the local
// folder and downloads the mailbox into it. libraryFolder holds the program's
// own libraries (the dial-up service); `trash` takes the QLM files the user
// wants gone. Returns how it ended.
CommandOutcome downloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                             Prompter& prompter, const std::filesystem::path& libraryFolder,
                             const download::MoveToTrash& trash);

}  // namespace tyq::commands
