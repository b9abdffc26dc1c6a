#include "download/MailboxTransfer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "common/NotedWindow.h"
#include "common/ShownText.h"
#include "common/Texts.h"
#include "download/DialUpCheck.h"
#include "download/FetchAhead.h"
#include "download/KnownServers.h"
#include "download/TransferLog.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"

namespace tyq::download {
namespace {

struct FailedFile {
    std::string name;
    std::string failure;
};

// A listed name made fit to show: no control bytes, not too long.
std::string shownName(const std::string& name) {
    return shownText(name, 64);
}

// The length of a control character at `at`: a byte below 0x20, DEL, or a
// C1 control in UTF-8 (C2 80 to C2 9F), which some terminals obey too; else 0.
std::size_t controlAt(const std::string& text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x20 || byte == 0x7f) {
        return 1;
    }
    if (byte == 0xc2 && at + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[at + 1]);
        return next >= 0x80 && next <= 0x9f ? 2 : 0;
    }
    return 0;
}

// A listed name as the log holds it. A terminal showing the log must not
// obey control characters in it, so each of their bytes is written as "\x1B";
// a backslash is then written "\\", so the form cannot be mistaken. Names
// without control characters stay as they are.
std::string loggedName(const std::string& name) {
    bool control = false;
    for (std::size_t at = 0; at < name.size() && !control; ++at) {
        control = controlAt(name, at) != 0;
    }
    if (!control) {
        return name;
    }
    std::string out;
    for (std::size_t at = 0; at < name.size();) {
        const auto length = controlAt(name, at);
        if (length == 0) {
            out += name[at] == '\\' ? std::string("\\\\") : std::string(1, name[at]);
            ++at;
        }
        for (std::size_t i = 0; i < length; ++i, ++at) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(name[at]));
            out += hex;
        }
    }
    return out;
}

// "3 of 4 files downloaded".
std::string downloadedCount(std::size_t downloaded, std::size_t listed) {
    return std::to_string(downloaded) + " of " + std::to_string(listed) +
           (listed == 1 ? " file" : " files") + " downloaded";
}

// "; A.ZIP failed: not on the server; ...", naming three failures at most,
// each after its separator.
std::string failureList(const std::vector<FailedFile>& failed) {
    std::vector<std::string> failures;
    for (const auto& file : failed) {
        failures.push_back(shownName(file.name) + " failed: " + file.failure);
    }
    return namedWithMore(failures, 3, "; ");
}

// A reason given in lower case, as the first words of a line.
std::string sentence(std::string text) {
    if (!text.empty() && text.front() >= 'a' && text.front() <= 'z') {
        text.front() = static_cast<char>(text.front() - 'a' + 'A');
    }
    return text;
}

// "AB:CD:..." for "sha256:ABCD...", as other tools show fingerprints.
std::string spacedFingerprint(const std::string& fingerprint) {
    const auto hex = fingerprint.substr(fingerprint.find(':') + 1);
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        out += (i == 0 ? "" : ":") + hex.substr(i, 2);
    }
    return out;
}

// The host of a "host:port" key, as a user would type it.
std::string hostOf(const std::string& key) {
    auto host = key.substr(0, key.rfind(':'));
    if (host.size() > 1 && host.front() == '[') {
        host = host.substr(1, host.size() - 2);
    }
    return host;
}

// pinned: the fingerprint trusted before, for a changed certificate.
std::string trustQuestion(const std::string& host, const download::Certificate& certificate,
                          const std::string& pinned) {
    std::string details = "\n\nSubject: " + certificate.subject +
                          "\nIssuer: " + certificate.issuer + "\nValid from " +
                          certificate.notBefore + " to " + certificate.notAfter +
                          "\nSHA-256 fingerprint: " + spacedFingerprint(certificate.fingerprint);
    if (certificate.changed) {
        // Beside the new one, so the user can compare it with what the
        // server's owner says.
        details += "\nTrusted before: " + spacedFingerprint(pinned) + "\n\n";
        return "The certificate of " + host +
               " has CHANGED since you trusted it. Someone may be posing as the server." + details +
               "Trust the new certificate for this server?";
    }
    details += "\n\n";
    return "The certificate of " + host + " could not be verified: " + certificate.reason + "." +
           details + "Trust this certificate for this server?";
}

}  // namespace

bool transferMailbox(MainWindowPort& outer, const settings::ProfileStore& profiles,
                     const std::filesystem::path& libraryFolder, const TransferOptions& options) {
    // A missing log is said under every detail the run gives.
    NotedWindow window(outer);
    window.setProgressText(kVerifyingText);
    window.setProgressDetail("");

    // The start stamp is the moment the transfer began, before any dial-up dialog.
    const std::string startEntry =
        formatStamp(kStartStampPattern, options.clock()) + "\tStart Ftp Connection\n";
    TransferLog log(transferLogPath());

    // Read once, at the start: nothing can change them while the command runs.
    const settings::Snapshot values = settings::readSnapshot(profiles);
    FtpServer server;
    server.host = values.host;
    server.port = values.port;
    server.user = window.userId();
    server.password = values.pass;
    server.encryption = encryptionFrom(values.encryption);

    const std::stop_token stop = window.stopToken();
    // The placeholder a fresh setup holds is no server: nothing to dial or
    // look up for it.
    const bool placeholder = server.host == settings::kDefaultHost;
    if (!stop.stop_requested() && !placeholder) {
        // Offers the dial-up phonebook when needed, which is a dialog of the
        // window's.
        window.runOnWindowThread([&] { EnsureDialUpConnection(values.aol, libraryFolder); });
    }

    auto session = stop.stop_requested() || placeholder
                       ? nullptr
                       : FtpSession::open(kProgramName, options.timeouts);

    // A log that cannot be created leaves the transfer to run without one.
    if (!log.create()) {
        window.addNote(log.path().empty()
                           ? std::string("The transfer log could not be created")
                           : "The transfer log " + log.path() + " could not be created");
    }
    log.write(startEntry);

    // Like a normal end in the log; the window says how far the run came.
    const auto endStoppedWith = [&](const std::string& headline, const std::string& detail) {
        session.reset();
        window.setProgressText(headline);
        window.setProgressDetail(detail);
        log.write(formatStamp(kEndStampPattern, options.clock()));
        log.close();
        return false;
    };
    const auto endStopped = [&] { return endStoppedWith(kStoppedText, kNothingDownloadedText); };
    if (stop.stop_requested()) {
        return endStopped();
    }
    if (placeholder) {
        window.setProgressText(kNoSecureConnectionText);
        window.setProgressDetail("Set the mailbox server's address in Setup");
        log.write(kCouldNotConnectText);
        return false;
    }
    if (!session) {
        window.setProgressText(kNoInternetText);
        log.write(kFtpExceptionText);
        return false;
    }

    session->setStopToken(stop);
    if (options.staging) {
        session->setStagingFolder(*options.staging);
    }
    KnownServers known(profiles.folder() / kKnownServersFileName);
    const std::string key = FtpSession::serverKey(server);
    LoginResult login;
    const auto knownFailure = known.load();
    if (knownFailure && server.encryption != Encryption::Plain) {
        login = {LoginStatus::FailedWithDescription, *knownFailure};
        login.encryption = true;
    } else {
        server.pinned = key.empty() ? std::string() : known.fingerprint(key).value_or("");
        server.usedTls = !key.empty() && known.usedTls(key);
        login = session->login(server);
    }
    if (stop.stop_requested()) {
        return endStopped();
    }
    // Nothing was sent over the connection of a certificate that did not
    // verify; only the user's yes lets a new connection log in with it.
    if (login.untrusted && options.prompter != nullptr) {
        const auto certificate = *login.untrusted;
        const auto host = hostOf(key);
        // A changed certificate may be someone posing as the server: only a
        // deliberate Yes trusts it.
        const auto answer = options.prompter->ask(Prompt{
            trustQuestion(host, certificate, server.pinned), PromptButtons::YesNo,
            certificate.changed ? PromptIcon::Warning : PromptIcon::Question,
            PromptOwner::MainWindow, certificate.changed ? PromptAnswer::No : PromptAnswer::Yes});
        if (stop.stop_requested()) {
            return endStopped();
        }
        if (answer != PromptAnswer::Yes) {
            login.description = certificate.changed
                                    ? "The certificate of " + host + " has changed"
                                    : "You did not trust the certificate of " + host;
        } else if (auto failure = known.remember(key, certificate.fingerprint)) {
            login = {LoginStatus::FailedWithDescription,
                     "Cannot save the trusted certificate to " + *failure};
        } else {
            server.pinned = certificate.fingerprint;
            login = session->login(server);
            if (stop.stop_requested()) {
                return endStopped();
            }
        }
    }
    if (login.status != LoginStatus::LoggedIn) {
        const char* text = login.status == LoginStatus::FailedWithDescription ? kCouldNotConnectText
                                                                              : kFtpExceptionText;
        // Only a log-in the server refused blames the user ID and password;
        // the detail names any other cause. The log keeps its text.
        window.setProgressText(login.status == LoginStatus::FailedWithDescription && !login.refused
                                   ? kNoSecureConnectionText
                                   : text);
        window.setProgressDetail(login.description);
        if (login.refused) {
            window.focusPassword();  // the field to correct
        }
        session.reset();
        log.write(text);
        return false;
    }
    // From now on this server is not logged in to without TLS, whatever
    // made its certificate trusted.
    if (session->encrypted() && !knownFailure && !key.empty()) {
        if (auto failure = known.rememberTls(key)) {
            window.addNote("Cannot remember that " + hostOf(key) + " uses TLS: " + *failure);
        }
    }

    // One listing serves the count and the downloads, so the log's count is
    // the number of files the run then tries.
    const auto listing = session->listZipFiles();
    const auto& names = listing.names;
    if (session->stopped()) {
        return endStopped();
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        window.setProgressText(kFindingText);
    }
    window.setProgressText(kDownloadingText);
    log.write("\nNumber of Files in the Mail Box:" + std::to_string(names.size()));
    const std::string folder = options.folder ? *options.folder : values.local;

    ByteProgress bytes;
    bytes.itemCount = static_cast<int>(names.size());
    // The run's size, when the listing told every file's.
    if (!names.empty() && listing.sizes.size() == names.size() &&
        std::ranges::all_of(listing.sizes, [](long long size) { return size >= 0; })) {
        bytes.allTotal = std::accumulate(listing.sizes.begin(), listing.sizes.end(), 0LL);
    }
    const DownloadProgress showBytes = [&](std::int64_t done, std::int64_t total) {
        bytes.allDone += done - bytes.itemDone;
        bytes.itemDone = done;
        bytes.itemTotal = total;
        window.setProgressBytes(bytes);
    };
    session->setProgress(showBytes);
    // Further connections fetch the files ahead of the one shown, logged in
    // as this one now is; a server that refuses them costs nothing more.
    const auto connections = values.connections;
    const auto helpers =
        names.size() < 2 ? 0
                         : std::min(names.size() - 1, static_cast<std::size_t>(connections - 1));
    // A server that spoke TLS to the first connection must speak it to the
    // others: one that seems not to offer it there is not given the password.
    FtpServer helperServer = server;
    if (session->encrypted()) {
        helperServer.encryption = Encryption::Required;
    }
    FetchAhead ahead(
        helpers,
        [&helperServer, &options, passive = session->passive()](std::stop_token helperStop) {
            FetchAhead::Helper helper;
            helper.session = FtpSession::open(kProgramName, options.timeouts);
            if (!helper.session) {
                helper.failure = "no session could be created";
                return helper;
            }
            helper.session->setStopToken(std::move(helperStop));
            if (options.staging) {
                helper.session->setStagingFolder(*options.staging);
            }
            if (passive) {
                helper.session->usePassive();
            }
            const auto login = helper.session->login(helperServer);
            if (login.status != LoginStatus::LoggedIn) {
                const int reply = helper.session->lastReply();
                helper.refused = reply == 421 || reply == 530;
                helper.failure = login.description;
                helper.session.reset();
            }
            return helper;
        },
        listing, folder, stop);
    std::vector<FailedFile> failed;
    std::size_t downloaded = 0;
    int ordinal = 0;
    // The count so far, and what the stop left: this file and any after it.
    const auto endStoppedAt = [&](const std::string& name) {
        const auto left = names.size() - static_cast<std::size_t>(ordinal - 1);
        return endStoppedWith(
            std::string(kStoppedText) + ": " + downloadedCount(downloaded, names.size()),
            shownName(name) +
                (left > 1 ? " and " + std::to_string(left - 1) + " more were not downloaded"
                          : std::string(" was not downloaded")) +
                failureList(failed));
    };
    for (const auto& name : names) {
        const long long listedSize = listing.sizeAt(static_cast<std::size_t>(ordinal));
        ++ordinal;
        if (stop.stop_requested()) {
            return endStoppedAt(name);
        }
        // A listed name may hold control bytes; the window shows them as '?'.
        window.setProgressText("Downloading  " + shownText(name, name.size()) + " to " + folder);
        bytes.item = shownText(name, name.size());
        bytes.itemNumber = ordinal;
        bytes.itemDone = 0;
        bytes.itemTotal = -1;
        // Counted from here, also when the server keeps the first byte back.
        window.setProgressBytes(bytes);
        auto fetched =
            ahead.take(static_cast<std::size_t>(ordinal - 1), showBytes, [&](std::size_t later) {
                // Not the file shown: its bytes are not shown either.
                session->setProgress(nullptr);
                auto early = session->fetch(names[later], folder, listing.sizeAt(later));
                session->setProgress(showBytes);
                return early;
            });
        // A file a helper fetched is not put in place once the user chose to
        // stop, however far it got.
        if (stop.stop_requested()) {
            return endStoppedAt(name);
        }
        DownloadResult result;
        if (fetched && fetched->result.ok()) {
            result = fetched->file.commit(folder + "/" + name);
            if (result) {
                showBytes(fetched->file.size(), fetched->file.size());
            }
        } else if (fetched) {
            result = std::move(fetched->result);
        } else {
            const auto started = std::chrono::steady_clock::now();
            result = session->download(name, folder, listedSize);
            if (result) {
                std::error_code error;
                const auto size = std::filesystem::file_size(folder + "/" + name, error);
                ahead.noteOwnTransfer(error ? 0 : static_cast<std::int64_t>(size),
                                      std::chrono::steady_clock::now() - started);
            }
        }
        if (result) {
            ++downloaded;
        } else {
            if (result.status == DownloadStatus::Stopped || session->stopped()) {
                return endStoppedAt(name);
            }
            log.write("\n " + std::to_string(ordinal) + " " + loggedName(name));
            failed.push_back({name, std::move(result.failure)});
        }
    }

    // The finished text only when every listed file arrived; otherwise how
    // many did, with the reasons below.
    std::string headline = kFinishedText;
    std::string detail;
    if (!listing.listed) {
        headline = kNotListedText;
        detail = sentence(listing.failure);
    } else if (!failed.empty()) {
        headline = downloadedCount(downloaded, names.size());
        detail = failureList(failed).substr(2);
    } else if (names.empty()) {
        detail = kEmptyMailboxText;
    }
    window.setProgressText(headline);
    // Why the run had fewer connections than asked for, for a support case.
    if (const auto note = ahead.helperNote(); !note.empty()) {
        detail +=
            (detail.empty() ? "" : "; ") + std::string("Further connections gave up: ") + note;
    }
    if (!detail.empty()) {
        window.setProgressDetail(detail);
    }
    session.reset();
    log.write(formatStamp(kEndStampPattern, options.clock()));
    log.close();
    return true;
}

}  // namespace tyq::download
