#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "download/ftp/Limits.h"
#include "download/ftp/Listing.h"
#include "download/ftp/TlsTrust.h"

namespace tyq::download::ftp {

// How a log-in uses TLS.
enum class TlsUse {
    None,      // no AUTH TLS
    Try,       // AUTH TLS; plain FTP when the server refuses it
    Required,  // AUTH TLS, and a server that refuses it is not logged in to
};

// How one request ended. libcurl's code is kept beside it.
enum class Ending { Done, Stopped, Failed };

// What a request was cut short for, before anything was sent or received in
// clear.
enum class Refusal {
    None,
    NoTls,      // a server that spoke TLS to the session refused AUTH TLS
    ClearData,  // the server refused to encrypt the data connections
};

// The code of a final reply line ("530 Login incorrect."), or 0.
int replyCodeOf(std::string_view line);

struct Outcome {
    Ending ending = Ending::Failed;
    CURLcode code = CURLE_FAILED_INIT;
    Refusal refusal = Refusal::None;
    // The server's last final reply line ("530 Login incorrect."), bounded.
    std::string reply;
    // libcurl's own words for a failure.
    std::string curlWords;

    bool ok() const noexcept { return ending == Ending::Done; }
    // The code of the reply (530...), or 0.
    int replyCode() const noexcept;
};

struct LoginRequest {
    ServerIdentity server;
    std::string user;
    std::string password;
    TlsUse tls = TlsUse::Try;
};

struct LoginOutcome : Outcome {
    // The certificate the verification refused, or the last one a failed
    // handshake showed.
    std::optional<Certificate> certificate;
    bool certificateRefused = false;
    // libcurl showed the commands it sent, so replies could be judged by
    // what they answered.
    bool sawCommands = false;
    long osError = 0;  // errno of a failed connect
    std::chrono::steady_clock::duration took{};
};

struct ListRequest {
    bool mlsd = true;    // else NLST
    bool long_ = false;  // LIST, as "ls -l" shows a folder (when not MLSD)
};

struct ListOutcome : Outcome {
    std::string text;
    bool tooLong = false;  // cut off at the listing's limit
};

struct RetrieveRequest {
    std::string name;  // a plain file name of the login directory
    int fd = -1;       // written from its start
    // The size the listing told, or -1.
    long long listedSize = -1;
    // SIZE first (a refusal ignored), for a size to hold the file to.
    bool askSize = false;
    // Bytes the file already holds: REST asks the server to go on from
    // `overlap` bytes before there (after SIZE, whose answer is told), and
    // fd is written from its current end. A server that refuses REST fails
    // with CURLE_QUOTE_ERROR.
    long long resumeFrom = 0;
    // Of those bytes, how many are asked for again and compared with the
    // file's last ones before anything is appended: a server that does not
    // go on from the offset, or a file changed since, shows there.
    long long overlap = 0;
    // With resumeFrom: the bytes after it that make the whole file; a stream
    // that goes beyond is ended there. -1: not known.
    long long rest = -1;
};

struct RetrieveOutcome : Outcome {
    long long written = 0;  // bytes that reached the file, after resumeFrom
    long long counted = 0;  // bytes the transfer counted, after resumeFrom
    ToldSizes told;
    int writeError = 0;  // errno of a failed write
    // Resumed: the bytes sent again were not the file's last ones, or more
    // came than the rest of the file.
    bool differs = false;
    bool overrun = false;
};

struct SizeRequest {
    std::string name;   // a plain file name of the login directory
    bool time = false;  // MDTM as well
};

struct SizeOutcome : Outcome {
    long long size = -1;
    std::string modified;  // "YYYYMMDDHHMMSS", UTC, when asked and told
};

// One FTP connection over libcurl that logs in once and serves every later
// request. Each request sets its options whole, so nothing carries over from
// one to the next but the connection. Active mode first; when the data
// connection cannot be set up that way, or comes from anyone but the server,
// passive mode for the rest of its life, the request tried again once.
class Transport {
  public:
    // Nothing when libcurl cannot start.
    static std::unique_ptr<Transport> open(const std::string& agent, Timeouts timeouts);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Starts an operation: false when a stop was already requested.
    bool begin();
    LoginOutcome login(const LoginRequest& request);
    ListOutcome list(const ListRequest& request);
    RetrieveOutcome retrieve(const RetrieveRequest& request);
    SizeOutcome size(const SizeRequest& request);

    void usePassive() noexcept { passive_ = true; }
    bool passive() const noexcept { return passive_; }
    // The server accepted AUTH TLS on the control connection.
    bool encrypted() const noexcept;
    // The TLS verification could be installed (libcurl uses OpenSSL).
    bool canCheckCertificates() const noexcept;
    // Why the private trust store cannot be used, or empty.
    const std::string& storeFailure() const noexcept;
    const Timeouts& timeouts() const noexcept { return timeouts_; }

    void setStopToken(std::stop_token stop);
    void setProgress(Progress progress);
    // Shows progress, when it changed.
    void report(std::int64_t done, std::int64_t total);
    bool stopped() const noexcept;
    int lastReply() const noexcept;

  private:
    struct Handles;
    Transport(std::unique_ptr<Handles> handles, Timeouts timeouts);
    // The options every request starts from, after curl_easy_reset.
    void applyCommon(const std::string& path);
    Outcome perform();
    enum class Attempt { Done, RetryPassive, Stopped, Failed };
    // One try of a request that opens a data connection: RetryPassive when
    // active mode failed and the request is to be set up again and retried.
    Attempt attempt(Outcome& outcome);

    std::unique_ptr<Handles> handles_;
    Timeouts timeouts_;
    bool passive_ = false;
    // What log-in set up, applied again to every request so the connection
    // is reused (libcurl reuses one only for the same user, password and TLS
    // use).
    std::optional<LoginRequest> connection_;
};

}  // namespace tyq::download::ftp
