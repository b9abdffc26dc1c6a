#include "download/MailboxTransfer.h"

#include <string>

#include "common/Texts.h"
#include "download/DialUpCheck.h"
#include "download/TransferLog.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"

namespace tyq::download {

bool transferMailbox(MainWindowPort& window, const settings::ProfileStore& profiles,
                     const std::filesystem::path& libraryFolder, const TransferOptions& options) {
    window.setProgressText(kVerifyingText);
    window.setProgressDetail("");

    // The start stamp is the moment the transfer began, before any dial-up dialog.
    const std::string startEntry =
        formatStamp(kStartStampPattern, options.clock()) + "\tStart Ftp Connection\n";
    TransferLog log(transferLogPath());

    const settings::CSettings named(profiles);
    FtpServer server;
    server.host = named.host();
    server.port = profiles.getInt(settings::kSection, settings::kPort, settings::kDefaultPort,
                                  settings::kFileName);
    server.user = window.userId();
    server.password = named.password();

    const std::stop_token stop = window.stopToken();
    if (!stop.stop_requested()) {
        // Reads "AOL" itself and offers the dial-up phonebook when needed,
        // which is a dialog of the window's.
        window.runOnWindowThread([&] { EnsureDialUpConnection(profiles, libraryFolder); });
    }

    auto session =
        stop.stop_requested() ? nullptr : FtpSession::open(kProgramName, options.timeouts);

    // A log that cannot be created leaves the transfer to run without one.
    log.create();
    log.write(startEntry);

    // Like a normal end, without a text about files that were not fetched.
    const auto endStopped = [&] {
        session.reset();
        window.setProgressText(kStoppedText);
        log.write(formatStamp(kEndStampPattern, options.clock()));
        log.close();
        return false;
    };
    if (stop.stop_requested()) {
        return endStopped();
    }
    if (!session) {
        window.setProgressText(kNoInternetText);
        log.write(kFtpExceptionText);
        return false;
    }

    session->setStopToken(stop);
    const auto login = session->login(server);
    if (stop.stop_requested()) {
        return endStopped();
    }
    if (login.status != LoginStatus::LoggedIn) {
        const char* text = login.status == LoginStatus::FailedWithDescription ? kCouldNotConnectText
                                                                              : kFtpExceptionText;
        window.setProgressText(text);
        window.setProgressDetail(login.description);
        session.reset();
        log.write(text);
        return false;
    }

    // One listing serves the count and the downloads, so the log's count is
    // the number of files the run then tries.
    const auto names = session->listZipFiles();
    if (session->stopped()) {
        return endStopped();
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        window.setProgressText(kFindingText);
    }
    window.setProgressText(kDownloadingText);
    log.write("\nNumber of Files in the Mail Box:" + std::to_string(names.size()));
    // Read once: nothing can change it while the command runs.
    const auto folder = named.localFolder();

    ByteProgress bytes;
    bytes.itemCount = static_cast<int>(names.size());
    session->setProgress([&](std::int64_t done, std::int64_t total) {
        bytes.allDone += done - bytes.itemDone;
        bytes.itemDone = done;
        bytes.itemTotal = total;
        window.setProgressBytes(bytes);
    });
    int ordinal = 0;
    for (const auto& name : names) {
        ++ordinal;
        if (stop.stop_requested()) {
            return endStopped();
        }
        window.setProgressText("Downloading  " + name + " to " + folder);
        bytes.item = name;
        bytes.itemNumber = ordinal;
        bytes.itemDone = 0;
        bytes.itemTotal = -1;
        if (!session->download(name, folder)) {
            if (session->stopped()) {
                return endStopped();
            }
            log.write("\n " + std::to_string(ordinal) + " " + name);
        }
    }

    window.setProgressText(kFinishedText);
    session.reset();
    log.write(formatStamp(kEndStampPattern, options.clock()));
    log.close();
    return true;
}

}  // namespace tyq::download
