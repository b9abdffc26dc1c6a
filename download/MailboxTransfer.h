#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "common/MainWindowPort.h"
#include "common/Prompter.h"
#include "download/FtpSession.h"
#include "settings/ProfileStore.h"

namespace tyq::download {

// Texts the transfer shows in the progress line and writes to its log.
inline constexpr char kVerifyingText[] = "Verifying UserID and Password...";
inline constexpr char kNoInternetText[] = "Unable to connect to Internet verify the connection";
inline constexpr char kCouldNotConnectText[] =
    "Could not connect to QLM site,\nplease check the UserID and Password...";
// Shown in its place for every failure but a log-in the server refused (the
// detail says what it was): the user ID and password are not to blame.
inline constexpr char kNoSecureConnectionText[] = "Could not connect to QLM site";
inline constexpr char kFtpExceptionText[] =
    "An exception occurred when attempting to create an FTP connection.\r\n"
    "  Please check your internet configuration and make sure your environment\r\n"
    " is set up with WININET.DLL in the path.";
inline constexpr char kFindingText[] = "Finding the Files...";
inline constexpr char kDownloadingText[] = "Downloading the files...";
inline constexpr char kFinishedText[] = "Downloading Finished!";
inline constexpr char kStoppedText[] = "Download stopped";
// Headlines and details of a run that did not get every file.
inline constexpr char kNotListedText[] = "The mailbox could not be listed";
inline constexpr char kEmptyMailboxText[] = "The mailbox is empty";
inline constexpr char kNothingDownloadedText[] = "No file was downloaded";

struct TransferOptions {
    FtpTimeouts timeouts;
    // The folder the download command settled on; without one, the "Local"
    // setting, read whole.
    std::optional<std::string> folder;
    // The command's staging folder for temporary files; without one they go
    // beside their final names.
    std::optional<std::string> staging;
    // The clock of the log's stamps.
    std::function<std::time_t()> clock = [] { return std::time(nullptr); };
    // Where what was fetched is recorded for the daily collection; none
    // records nothing.
    std::optional<std::filesystem::path> stateFolder;
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

}  // namespace tyq::download
