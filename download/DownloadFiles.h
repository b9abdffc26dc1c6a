#pragma once

#include <filesystem>

#include "common/MainWindowPort.h"
#include "common/Prompter.h"
#include "download/LocalFolder.h"
#include "settings/ProfileStore.h"

namespace tyq::download {

// The "&Download Files" command: saves the Step 1 fields, prepares the local
// folder and downloads the mailbox into it. libraryFolder holds the program's
// own libraries (the dial-up service); `trash` takes the QLM files the user
// wants gone.
void downloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                   Prompter& prompter, const std::filesystem::path& libraryFolder,
                   const MoveToTrash& trash);

}  // namespace tyq::download
