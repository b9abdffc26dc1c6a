#include "download/FtpSession.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "common/Log.h"
#include "common/ShownText.h"
#include "download/ftp/Address.h"
#include "download/ftp/Transport.h"

namespace tyq::download {
namespace {

using ftp::Ending;
using ftp::Refusal;

// Reply text kept for a detail: enough for any sensible reply line.
constexpr std::size_t kMaxReplyBytes = 200;

bool hasControlByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), isControlByte);
}

// A server's words made fit to show: no control bytes, not too long.
std::string shown(std::string_view text, std::size_t limit = kMaxReplyBytes) {
    return shownText(text, limit);
}

long seconds(std::chrono::milliseconds limit) {
    return static_cast<long>((limit.count() + 999) / 1000);
}

int replyCode(std::string_view line) {
    return ftp::replyCodeOf(line);
}

bool isTlsFailure(int code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return true;
        default:
            return false;
    }
}

// A refusal of USER that says the server wants encryption first (vsftpd:
// "530 Non-anonymous sessions must use encryption.", others 534 or 550).
bool asksForEncryption(const std::string& reply) {
    const int code = replyCode(reply);
    if (code == 534) {
        return true;
    }
    if (code != 530 && code != 550) {
        return false;
    }
    std::string lower = reply;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("tls") != std::string::npos || lower.find("ssl") != std::string::npos ||
           lower.find("encrypt") != std::string::npos;
}

// The way out named when TLS is what fails.
std::string plainWayOut() {
    return "To log in without TLS, choose \"" + std::string(settings::kEncryptionPlainCaption) +
           "\" for Encryption in Setup";
}

// Why the server's address cannot be used, if it cannot.
std::optional<LoginResult> addressProblem(const ftp::Address& address) {
    switch (address.problem) {
        case ftp::Address::Problem::None:
            break;
        case ftp::Address::Problem::Missing:
            return LoginResult{LoginStatus::FailedWithoutDescription, "No server address is set"};
        case ftp::Address::Problem::NotAnAddress:
            return LoginResult{LoginStatus::FailedWithoutDescription,
                               "Not a server address: " + shown(address.typed)};
        case ftp::Address::Problem::OutOfMemory:
            return LoginResult{LoginStatus::FailedWithoutDescription, "Out of memory"};
    }
    return std::nullopt;
}

}  // namespace

std::unique_ptr<FtpSession> FtpSession::open(const std::string& agent, FtpTimeouts timeouts) {
    auto transport = ftp::Transport::open(agent, timeouts);
    if (!transport) {
        return nullptr;
    }
    return std::unique_ptr<FtpSession>(new FtpSession(std::move(transport)));
}

FtpSession::FtpSession(std::unique_ptr<ftp::Transport> transport)
    : transport_(std::move(transport)) {}

FtpSession::~FtpSession() = default;

void FtpSession::setStopToken(std::stop_token stop) {
    transport_->setStopToken(std::move(stop));
}

void FtpSession::setProgress(DownloadProgress progress) {
    transport_->setProgress(std::move(progress));
}

void FtpSession::usePassive() {
    transport_->usePassive();
}

bool FtpSession::passive() const noexcept {
    return transport_->passive();
}

bool FtpSession::encrypted() const noexcept {
    return transport_->encrypted();
}

bool FtpSession::stopped() const noexcept {
    return transport_->stopped();
}

int FtpSession::lastReply() const noexcept {
    return transport_->lastReply();
}

std::string FtpSession::serverKey(const FtpServer& server) {
    return ftp::serverKey(server.host, server.port);
}

LoginResult FtpSession::login(const FtpServer& server) {
    if (!transport_->begin()) {
        return {LoginStatus::FailedWithoutDescription, "Stopped"};
    }
    // A host libcurl would call a malformed URL gets no description, as for
    // every other failure that is not about reaching the server.
    const auto address = ftp::parseAddress(server.host);
    if (auto problem = addressProblem(address)) {
        return std::move(*problem);
    }
    const long port = ftp::portOf(address, server.port);
    if (port < 1 || port > 65535) {
        return {LoginStatus::FailedWithDescription,
                "Port " + std::to_string(server.port) + " is outside 1 to 65535"};
    }
    // libcurl sends them as they are: a CR LF in either would end the
    // command and start another one of the settings file's choosing.
    if (hasControlByte(server.user)) {
        return {LoginStatus::FailedWithoutDescription, "The user ID contains a control character"};
    }
    if (hasControlByte(server.password)) {
        return {LoginStatus::FailedWithoutDescription, "The password contains a control character"};
    }
    encryption_ = server.encryption;
    if (encryption_ != Encryption::Plain && !transport_->canCheckCertificates()) {
        return {LoginStatus::FailedWithDescription,
                "The encrypted connection could not be set up: this libcurl cannot check "
                "certificates"};
    }
    server_ = {address.host, port, server.pinned, server.usedTls};
    // A server that was pinned or completed TLS before is not given the
    // password in clear when it no longer offers TLS.
    const auto tls = encryption_ == Encryption::Plain ? ftp::TlsUse::None
                     : encryption_ == Encryption::Required || server_.knownForTls()
                         ? ftp::TlsUse::Required
                         : ftp::TlsUse::Try;
    const auto outcome = transport_->login({server_, server.user, server.password, tls});
    if (outcome.ok() && tls != ftp::TlsUse::None && !outcome.sawCommands) {
        // Without the commands no reply can be judged: a refused PROT P
        // would pass unseen.
        return {LoginStatus::FailedWithDescription,
                "The encrypted connection could not be set up: this libcurl does not show its "
                "commands"};
    }
    if (outcome.ok()) {
        return {LoginStatus::LoggedIn, {}};
    }
    return loginFailure(outcome, server.password);
}

LoginResult FtpSession::loginFailure(const ftp::LoginOutcome& outcome,
                                     const std::string& password) const {
    auto result = loginFailureOf(outcome, password);
    result.encryption = result.untrusted || outcome.refusal != Refusal::None ||
                        outcome.code == CURLE_USE_SSL_FAILED || isTlsFailure(outcome.code);
    result.refused =
        outcome.code == CURLE_LOGIN_DENIED && !result.encryption && outcome.replyCode() != 421;
    return result;
}

std::optional<LoginResult> FtpSession::tlsFailureOf(const ftp::LoginOutcome& outcome) const {
    const int code = outcome.code;
    const auto libcurlWords = [&] { return shown(outcome.curlWords); };
    const auto certificateHost = shown(server_.certificateHost());
    // Refused by the verify callback, or by libcurl's own check of the name
    // right after the handshake: either way before USER.
    if (outcome.certificate &&
        (outcome.certificateRefused || code == CURLE_PEER_FAILED_VERIFICATION)) {
        Certificate certificate = *outcome.certificate;
        if (certificate.reason.empty()) {
            certificate.reason = libcurlWords();
        }
        return LoginResult{LoginStatus::FailedWithDescription,
                           certificate.changed
                               ? "The certificate of " + certificateHost + " has changed"
                               : "The certificate of " + certificateHost +
                                     " could not be verified: " + certificate.reason,
                           certificate};
    }
    if (outcome.refusal == Refusal::ClearData) {
        return LoginResult{
            LoginStatus::FailedWithDescription,
            "The server refused to encrypt the data connections: " + shown(outcome.reply)};
    }
    if (code == CURLE_USE_SSL_FAILED) {
        if (encryption_ == Encryption::IfOffered && server_.knownForTls()) {
            return LoginResult{
                LoginStatus::FailedWithDescription,
                certificateHost +
                    " used TLS before but does not offer it now; someone may be in between. " +
                    plainWayOut()};
        }
        return LoginResult{LoginStatus::FailedWithDescription,
                           "The server does not offer TLS encryption"};
    }
    if (isTlsFailure(code) && !transport_->storeFailure().empty()) {
        return LoginResult{LoginStatus::FailedWithDescription,
                           "The encrypted connection could not be set up: cannot use " +
                               transport_->storeFailure()};
    }
    if (isTlsFailure(code) && encryption_ == Encryption::IfOffered && !server_.knownForTls()) {
        return LoginResult{LoginStatus::FailedWithDescription,
                           "The TLS handshake with " + certificateHost +
                               " failed: " + libcurlWords() + ". " + plainWayOut()};
    }
    if (isTlsFailure(code)) {
        return LoginResult{LoginStatus::FailedWithDescription,
                           "The encrypted connection could not be set up: " + libcurlWords()};
    }
    return std::nullopt;
}

LoginResult FtpSession::loginFailureOf(const ftp::LoginOutcome& outcome,
                                       const std::string& password) const {
    if (auto failure = tlsFailureOf(outcome)) {
        return std::move(*failure);
    }
    const int code = outcome.code;
    const auto& host = server_.host;
    // The reply's words; a server that echoes what it was sent must not
    // show the password.
    const auto words = [&] {
        std::string text =
            shown(outcome.reply.size() > 4 ? outcome.reply.substr(4) : std::string());
        for (auto at = password.empty() ? std::string::npos : text.find(password);
             at != std::string::npos; at = text.find(password, at + 3)) {
            text.replace(at, password.size(), "***");
        }
        return text;
    };
    // libcurl reads a 421 anywhere as a time-out; the server said it is busy.
    if (outcome.replyCode() == 421 && code != CURLE_ABORTED_BY_CALLBACK) {
        const auto said = words();
        return {LoginStatus::FailedWithDescription,
                said.empty() ? "The server is busy" : "The server is busy: " + said};
    }
    if (code == CURLE_LOGIN_DENIED && encryption_ == Encryption::Plain &&
        asksForEncryption(outcome.reply)) {
        return {LoginStatus::FailedWithDescription,
                "The server requires encryption; choose \"" +
                    std::string(settings::kEncryptionIfOfferedCaption) + "\" in Setup"};
    }
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return {LoginStatus::FailedWithDescription, "Server not found: " + shown(host)};
        case CURLE_COULDNT_CONNECT: {
            const long error = outcome.osError;
            if (error == ECONNREFUSED) {
                return {
                    LoginStatus::FailedWithDescription,
                    "The server refused the connection on port " + std::to_string(server_.port)};
            }
            return {LoginStatus::FailedWithDescription,
                    "Cannot reach " + shown(host) + " on port " + std::to_string(server_.port) +
                        (error != 0 ? ": " + std::string(std::strerror(static_cast<int>(error)))
                                    : std::string())};
        }
        case CURLE_OPERATION_TIMEDOUT: {
            // libcurl holds the whole log-in to the connect limit and each
            // reply to the response limit: whichever ran out first ended it.
            const bool connectLimit =
                outcome.took + std::chrono::milliseconds(50) >= transport_->timeouts().connect;
            const auto limit = connectLimit ? seconds(transport_->timeouts().connect)
                                            : seconds(transport_->timeouts().response);
            return {LoginStatus::FailedWithDescription,
                    "No answer from " + shown(host) + " after " + std::to_string(limit) + " s"};
        }
        case CURLE_LOGIN_DENIED: {
            const auto said = words();
            return {LoginStatus::FailedWithDescription,
                    said.empty() ? "The server refused the log-in"
                                 : "The server refused the log-in: " + said};
        }
        case CURLE_ABORTED_BY_CALLBACK:
            return {LoginStatus::FailedWithoutDescription, "Stopped"};
        default:
            return {LoginStatus::FailedWithoutDescription,
                    "The log-in failed: " +
                        std::string(curl_easy_strerror(static_cast<CURLcode>(code)))};
    }
}

std::string FtpSession::failureOf(const ftp::Outcome& outcome) const {
    if (outcome.refusal == Refusal::ClearData) {
        return "the server refused to encrypt the data connection";
    }
    if (outcome.refusal == Refusal::NoTls ||
        (outcome.code == CURLE_USE_SSL_FAILED && transport_->encrypted())) {
        return "the server no longer offers TLS";
    }
    // libcurl reads a 421 as a time-out; the server answered, and closed.
    if (outcome.code == CURLE_OPERATION_TIMEDOUT && outcome.replyCode() == 421) {
        return "the server ended the session: " + shown(outcome.reply);
    }
    switch (outcome.code) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_FTP_ACCEPT_TIMEOUT:
            return "the server stopped answering";
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_FTP_ACCEPT_FAILED:
        case CURLE_FTP_CANT_GET_HOST:
        case CURLE_COULDNT_CONNECT:
            return "the connection dropped";
        default:
            break;
    }
    if (outcome.replyCode() >= 400) {
        return "the server replied: " + shown(outcome.reply);
    }
    return shown(curl_easy_strerror(outcome.code));
}

}  // namespace tyq::download
