#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "common/MainWindowPort.h"
#include "common/Prompter.h"
#include "download/CollectState.h"
#include "download/FtpSession.h"
#include "download/TransferReport.h"
#include "settings/ProfileStore.h"

namespace tyq::commands {

struct TransferOptions {
    download::FtpTimeouts timeouts;
    // The folder the download command settled on; without one, the "Local"
    // setting, read whole.
    std::optional<std::string> folder;
    // The command's staging folder for temporary files; without one they go
    // beside their final names.
    std::optional<std::string> staging;
    // Where fetches cut short wait, as the command opened it; none: the
    // folder's own.
    download::PartialStore* partials = nullptr;
    // The clock of the log's stamps.
    std::function<std::time_t()> clock = [] { return std::time(nullptr); };
    // Where what was fetched is recorded for the daily collection; none
    // records nothing.
    download::CollectState* record = nullptr;
    // Asks whether to trust a certificate that does not verify; without
    // one, such a certificate is refused.
    Prompter* prompter = nullptr;
};

// Logs in to the mailbox with the window's user ID and the saved password and
// downloads every "*.ZIP" of it into the "Local" folder. True when the log-in
// succeeded, whatever became of the files; false when no session could be
// opened, the log-in failed or the window's stop token ended the run early.
// A stopped run keeps the files that arrived whole and leaves nothing of the
// one under way. The "Encryption" setting is read at the start; a certificate
// the user trusts, and a server that completed TLS, are remembered in
// known_servers beside the settings file. A failed write to the transfer log
// throws DiskFullError.
bool transferMailbox(MainWindowPort& window, const settings::ProfileStore& profiles,
                     const std::filesystem::path& libraryFolder,
                     const TransferOptions& options = {});
// The same for a command that has taken the user ID and its stop already,
// telling `port`.
download::TransferOutcome transferMailbox(CommandPort& port, const std::string& user,
                                          std::stop_token stop,
                                          const settings::ProfileStore& profiles,
                                          const std::filesystem::path& libraryFolder,
                                          const TransferOptions& options);

}  // namespace tyq::commands
