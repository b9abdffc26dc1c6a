#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/NotedWindow.h"
#include "common/Prompter.h"
#include "download/TransferJob.h"
#include "download/TransferLog.h"

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

// "40.0 MB of DATA.ZIP kept", or for several "40.0 MB of A.ZIP and 1.2 MB of
// B.ZIP kept": what a run left to be resumed. Empty when nothing was.
std::string partialsKeptText(const std::vector<PartialKept>& partials);
// What the window adds to it: where the bytes are taken up again.
inline constexpr char kResumedByDownloadText[] = "Download Files goes on from there";

// A download as the user and the transfer log hear of it: the one place
// where what the download does becomes the progress line, its detail, the
// byte counts and the log's lines.
class TransferReport : public TransferObserver {
  public:
    // Shows the first text at once and takes the start stamp. prompter asks
    // whether to trust a certificate that does not verify; without one,
    // such a certificate is refused.
    // logPath: the transfer log's file (transferLogPath() for the window's).
    TransferReport(CommandPort& port, std::string folder, std::function<std::time_t()> clock,
                   Prompter* prompter, std::string logPath);

    void connecting() override;
    std::optional<bool> trust(const std::string& host, const Certificate& certificate,
                              const std::string& pinned) override;
    void note(const std::string& text) override { window_.addNote(text); }
    void listed(const ZipListing& listing) override;
    void planned(const std::vector<bool>& fetching) override;
    void fileStarted(std::size_t item) override;
    void resuming(std::size_t item, std::int64_t from) override;
    void bytes(std::int64_t done, std::int64_t total) override;
    void fetchedAhead(std::size_t item) override;
    void fileArrived(std::size_t item, const ArrivedFile& arrived) override;
    void fileFailed(std::size_t item, const FailedFile& failed) override;
    void finished(const TransferOutcome& outcome) override;

  private:
    void endWith(const std::string& headline, const std::string& detail);
    void totalRun();
    // Listed file `item` is done with, whichever connection finished it.
    void countDone(std::size_t item);

    NotedWindow window_;
    std::string folder_;
    std::function<std::time_t()> clock_;
    Prompter* prompter_;
    // The start stamp is the moment the transfer began, before any dial-up
    // dialog.
    std::string startEntry_;
    TransferLog log_;
    const ZipListing* listing_ = nullptr;
    // The detail line says a file is resumed, until the next one starts.
    bool resumeShown_ = false;
    ByteProgress bytes_;
    // Each listed file's size as far as it is known, or -1; 0 for one the
    // run does not fetch.
    std::vector<long long> sizes_;
    // Each listed file's number among those fetched (1 for the first).
    std::vector<int> numbers_;
    std::size_t current_ = 0;  // the listed file under way
    // Each listed file finished, in whatever order they finish.
    std::vector<bool> done_;
};

}  // namespace tyq::download
