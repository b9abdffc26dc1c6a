#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <stop_token>
#include <string>

#include "download/ftp/Sinks.h"
#include "download/ftp/TlsTrust.h"
#include "download/ftp/Transport.h"

// The libcurl handles of a transport and what its callbacks share: seen
// only by the transport itself.
namespace tyq::download::ftp {

// Reply text kept for a detail: enough for any sensible reply line.
inline constexpr std::size_t kMaxReplyBytes = 200;

struct Transport::Handles {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    std::string agent;
    std::stop_token stop;
    Progress progress;
    // The download under way; null otherwise.
    FileSink* file = nullptr;
    // The server's last final reply line of the request under way.
    std::string reply;
    std::int64_t shownDone = -1;
    std::int64_t shownTotal = -1;
    // Bytes the file held before a resumed download, shown as done, how
    // many of them come again, and the size the listing told of it.
    std::int64_t resumedFrom = 0;
    std::int64_t resumedOverlap = 0;
    std::int64_t resumedSize = -1;
    bool stopped = false;
    // The request under way refused a data connection from elsewhere than
    // the server.
    bool strangerRefused = false;
    char errors[CURL_ERROR_SIZE] = {};
    bool tlsHooked = false;
    bool encrypted = false;
    // libcurl may fall back to plain FTP (TLS is tried, the server not
    // known for it): what it would let pass is checked here.
    bool tlsOptional = false;
    // The verb of the last command sent ("AUTH", "PROT"...), never its
    // argument: a reply is judged by what it answers.
    std::string sentVerb;
    bool sawCommand = false;
    Refusal refusal = Refusal::None;
    TlsTrust tls;

    void report(std::int64_t done, std::int64_t total) {
        if (progress && (done != shownDone || total != shownTotal)) {
            shownDone = done;
            shownTotal = total;
            progress(done, total);
        }
    }

    // libcurl calls this as data arrives and at least once a second, in
    // every phase; non-zero ends the transfer. A throwing sink cannot unwind
    // through libcurl: noexcept makes that a clean stop of the process.
    static int onProgress(void* user, curl_off_t total, curl_off_t now, curl_off_t,
                          curl_off_t) noexcept;
    // libcurl hands every socket here before use, and the data connection it
    // accepted in active mode.
    static int onSocket(void* user, curl_socket_t socket, curlsocktype purpose) noexcept;
    // libcurl shows each command it sends here (with CURLOPT_VERBOSE).
    static int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) noexcept;
    // libcurl hands every reply line of the control connection here; 0
    // ends the request before libcurl acts on the reply.
    static size_t onReply(char* data, size_t size, size_t count, void* user) noexcept;

    ~Handles() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
    }
};

}  // namespace tyq::download::ftp
