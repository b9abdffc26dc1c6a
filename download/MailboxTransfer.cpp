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

    // Reads "AOL" itself and offers the dial-up phonebook when needed.
    EnsureDialUpConnection(profiles, libraryFolder);

    auto session = FtpSession::open(kProgramName, options.timeouts);

    // A log that cannot be created leaves the transfer to run without one.
    log.create();
    log.write(startEntry);

    if (!session) {
        window.setProgressText(kNoInternetText);
        log.write(kFtpExceptionText);
        return false;
    }

    const auto login = session->login(server);
    if (login.status != LoginStatus::LoggedIn) {
        const char* text = login.status == LoginStatus::FailedWithDescription ? kCouldNotConnectText
                                                                              : kFtpExceptionText;
        window.setProgressText(text);
        window.setProgressDetail(login.description);
        session.reset();
        log.write(text);
        return false;
    }

    int fileCount = 0;
    for (std::size_t i = 0, n = session->listZipFiles().size(); i < n; ++i) {
        window.setProgressText(kFindingText);
        ++fileCount;
    }
    window.setProgressText(kDownloadingText);
    log.write("\nNumber of Files in the Mail Box:" + std::to_string(fileCount));

    int ordinal = 0;
    for (const auto& name : session->listZipFiles()) {
        ++ordinal;
        const auto folder = named.localFolder();
        window.setProgressText("Downloading  " + name + " to " + folder);
        if (!session->download(name, folder)) {
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
