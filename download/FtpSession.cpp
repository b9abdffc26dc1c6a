#include "download/FtpSession.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

#include "common/FileSearch.h"
#include "common/PrivateFile.h"
#include "common/ShownText.h"
#include "common/TempFiles.h"
#include "download/ftp/Address.h"
#include "download/ftp/Listing.h"

namespace tyq::download {
namespace {

// Large buffers matter for large files: 16 KiB costs about half the speed,
// and 4 MiB is about 15% faster than 512 KiB on a 1 GiB file (bench/run),
// for 4 MB more memory.
constexpr long kBufferSize = 4096L * 1024L;
// A listing longer than this is not a mailbox: the listing counts as failed.
constexpr std::size_t kMaxListingBytes = 64u * 1024u * 1024u;
// libcurl 7.88 can stall each passive data connection for up to a second
// unless the transfer loop comes round this often.
constexpr int kPassivePollMs = 5;
constexpr int kActivePollMs = 1000;
// A trust store bigger than this is not one (the system's is under 1 MB).
constexpr std::size_t kMaxCaBytes = 16u << 20;

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlStringDeleter {
    void operator()(char* text) const noexcept { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

struct CurlListDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

size_t discardData(char*, size_t size, size_t count, void*) {
    return size * count;
}

// Reply text kept for a detail: enough for any sensible reply line.
constexpr std::size_t kMaxReplyBytes = 200;

struct ListingSink {
    std::string text;
    bool tooLong = false;
};

size_t appendListing(char* data, size_t size, size_t count, void* user) {
    auto& sink = *static_cast<ListingSink*>(user);
    const auto bytes = size * count;
    if (sink.text.size() + bytes > kMaxListingBytes) {
        sink.tooLong = true;
        return 0;
    }
    sink.text.append(data, bytes);
    return bytes;
}

struct FileSink {
    int fd = -1;
    curl_off_t written = 0;
    ftp::ToldSizes told;
    int error = 0;  // errno of a failed write
};

bool isControlByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

bool hasControlByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), isControlByte);
}

// A final reply line: three digits and a space.
bool isFinalReply(std::string_view line) {
    return line.size() >= 4 &&
           std::all_of(line.begin(), line.begin() + 3,
                       [](char c) { return c >= '0' && c <= '9'; }) &&
           line[3] == ' ';
}

int replyCode(std::string_view line) {
    return isFinalReply(line) ? std::stoi(std::string(line.substr(0, 3))) : 0;
}

// A server's words made fit to show: no control bytes, not too long.
std::string shown(std::string_view text, std::size_t limit = kMaxReplyBytes) {
    return shownText(text, limit);
}

const char* folderFailure(int error) {
    return error == ENOSPC || error == EDQUOT ? "the disk is full" : "cannot write to the folder";
}

long seconds(std::chrono::milliseconds limit) {
    return static_cast<long>((limit.count() + 999) / 1000);
}

size_t writeToFile(char* data, size_t size, size_t count, void* user) {
    auto& sink = *static_cast<FileSink*>(user);
    const auto bytes = size * count;
    size_t done = 0;
    while (done < bytes) {
        const auto n = ::write(sink.fd, data + done, bytes - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            sink.error = n < 0 ? errno : ENOSPC;
            return 0;  // aborts the transfer
        }
        done += static_cast<size_t>(n);
    }
    sink.written += static_cast<curl_off_t>(bytes);
    return bytes;
}

// An address as IPv6 bytes, an IPv4 one mapped: the two forms of one
// address compare equal.
std::optional<in6_addr> asIpv6(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    }
    if (address.ss_family == AF_INET) {
        in6_addr mapped{};
        mapped.s6_addr[10] = 0xff;
        mapped.s6_addr[11] = 0xff;
        std::memcpy(&mapped.s6_addr[12], &reinterpret_cast<const sockaddr_in&>(address).sin_addr,
                    4);
        return mapped;
    }
    return std::nullopt;
}

std::optional<in6_addr> asIpv6(std::string text) {
    text = text.substr(0, text.find('%'));  // no zone
    sockaddr_storage address{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    if (inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        address.ss_family = AF_INET;
    } else if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
        address.ss_family = AF_INET6;
    }
    return asIpv6(address);
}

// Whether an accepted data connection comes from the server the control
// connection talks to. In active mode anyone who reaches the announced port
// first would otherwise have their bytes taken for the file.
bool fromServer(CURL* easy, int socket) {
    char* serverIp = nullptr;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &serverIp) != CURLE_OK ||
        serverIp == nullptr ||
        getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return false;
    }
    const auto server = asIpv6(serverIp);
    const auto from = asIpv6(peer);
    return server && from && std::memcmp(server->s6_addr, from->s6_addr, 16) == 0;
}

// Codes that mean the active-mode data connection could not be set up: the
// server refused PORT and EPRT, never connected back, or said it could not.
bool isActiveModeFailure(CURLcode code, long reply) {
    switch (code) {
        case CURLE_FTP_PORT_FAILED:
        case CURLE_FTP_ACCEPT_TIMEOUT:
            return true;
        case CURLE_FTP_ACCEPT_FAILED:
            // Also reported for any refusal that arrives while waiting for the
            // server's connection; only 425 and 426 are about the connection.
            return reply == 425 || reply == 426;
        default:
            return false;
    }
}

// Where the TLS verify callback finds the session's state: an index of the
// SSL_CTX's own, so nothing libcurl keeps there is disturbed.
int sessionIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

struct BioDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};

std::string nameOf(const X509_NAME* name) {
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) {
        return {};
    }
    X509_NAME_print_ex(bio.get(), name, 0,
                       (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? shown(std::string_view(data, static_cast<std::size_t>(size))) : std::string();
}

std::string timeOf(const ASN1_TIME* time) {
    std::tm parts{};
    char text[32];
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1 ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
        return "unknown";
    }
    return text;
}

// "sha256:HEX" of the certificate's DER form; empty when it cannot be had.
std::string fingerprintOf(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "sha256:";
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

// Every reason the server's certificate does not verify, first the one
// OpenSSL stopped at: it stops at the first, so the name and the dates,
// which a user can judge, are checked here as well.
std::string verifyReasons(int error, X509* leaf, const std::string& host) {
    std::vector<int> errors{error};
    const int address = X509_check_ip_asc(leaf, host.c_str(), 0);
    const int named =
        address >= 0 ? address : X509_check_host(leaf, host.data(), host.size(), 0, nullptr);
    if (named != 1) {
        errors.push_back(address >= 0 ? X509_V_ERR_IP_ADDRESS_MISMATCH
                                      : X509_V_ERR_HOSTNAME_MISMATCH);
    }
    if (X509_cmp_current_time(X509_get0_notAfter(leaf)) < 0) {
        errors.push_back(X509_V_ERR_CERT_HAS_EXPIRED);
    } else if (X509_cmp_current_time(X509_get0_notBefore(leaf)) > 0) {
        errors.push_back(X509_V_ERR_CERT_NOT_YET_VALID);
    }
    std::string text;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (std::find(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(i), errors[i]) ==
            errors.begin() + static_cast<std::ptrdiff_t>(i)) {
            text +=
                (text.empty() ? "" : ", ") + std::string(X509_verify_cert_error_string(errors[i]));
        }
    }
    return text;
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

}  // namespace

struct FtpSession::Handles {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    std::string agent;
    std::stop_token stop;
    DownloadProgress progress;
    // The download under way; null while listing or logging in.
    FileSink* file = nullptr;
    // The server's last final reply line of the operation under way.
    std::string reply;
    std::int64_t shownDone = -1;
    std::int64_t shownTotal = -1;
    bool stopped = false;
    // The operation under way refused a data connection from elsewhere
    // than the server.
    bool strangerRefused = false;
    // libcurl's words for the last failure.
    char errors[CURL_ERROR_SIZE] = {};
    // The TLS verify callback could be installed (libcurl uses OpenSSL).
    bool tlsHooked = false;
    // The server accepted AUTH TLS on this session's control connection.
    bool encrypted = false;
    // libcurl may fall back to plain FTP (the choice is IfOffered and the
    // server is not known for TLS): what it would let pass is checked here.
    bool tlsOptional = false;
    // The verb of the last command sent ("AUTH", "PROT"...), never its
    // argument: a reply is judged by what it answers.
    std::string sentVerb;
    // libcurl showed a command: it was built to, and the replies can be
    // judged.
    bool sawCommand = false;
    // What the operation under way was cut short for, before anything was
    // sent or received in clear.
    enum class Refusal { None, NoTls, ClearData } refusal = Refusal::None;
    // Why TYQLMFTP_CA_FILE cannot be used, when it cannot: every handshake
    // then fails rather than fall back to another trust store.
    std::string caFailure;
    struct Tls {
        std::string host;    // as the certificate must name it: no brackets
        std::string pinned;  // "sha256:HEX", or empty
        // The last certificate a handshake of the operation under way showed.
        std::optional<Certificate> seen;
        // The verify callback failed a handshake.
        bool refused = false;
    } tls;

    // Runs as libcurl sets up each TLS connection, control and data alike.
    static CURLcode onSslContext(CURL*, void* context, void* user) noexcept {
        auto* ctx = static_cast<SSL_CTX*>(context);
        auto& self = *static_cast<Handles*>(user);
        if (!self.caFailure.empty()) {
            return CURLE_SSL_CACERT_BADFILE;
        }
        if (sessionIndex() < 0 || SSL_CTX_set_ex_data(ctx, sessionIndex(), &self) != 1) {
            return CURLE_SSL_CONNECT_ERROR;
        }
        // The name is checked in the handshake too, so a wrong one is
        // caught with the certificate in hand.
        X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, self.tls.host.c_str()) != 1 &&
            X509_VERIFY_PARAM_set1_host(param, self.tls.host.c_str(), 0) != 1) {
            return CURLE_SSL_CONNECT_ERROR;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &Handles::onVerify);
        return CURLE_OK;
    }
    // OpenSSL's verdict on each certificate of the chain, the server's own
    // last. A handshake fails here unless the chain verifies and names the
    // host, or the server's certificate is the pinned one.
    static int onVerify(int ok, X509_STORE_CTX* store) noexcept {
        try {
            auto* ssl = static_cast<SSL*>(
                X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
            auto* self = ssl == nullptr ? nullptr
                                        : static_cast<Handles*>(SSL_CTX_get_ex_data(
                                              SSL_get_SSL_CTX(ssl), sessionIndex()));
            X509* leaf = X509_STORE_CTX_get0_cert(store);
            if (self == nullptr || leaf == nullptr) {
                return 0;
            }
            auto& tls = self->tls;
            const auto fingerprint = fingerprintOf(leaf);
            if (fingerprint.empty()) {
                return 0;
            }
            if (!tls.seen || tls.seen->fingerprint != fingerprint) {
                tls.seen = Certificate{nameOf(X509_get_subject_name(leaf)),
                                       nameOf(X509_get_issuer_name(leaf)),
                                       timeOf(X509_get0_notBefore(leaf)),
                                       timeOf(X509_get0_notAfter(leaf)),
                                       fingerprint,
                                       {},
                                       false};
            }
            if (!tls.pinned.empty()) {
                if (fingerprint == tls.pinned) {
                    return 1;
                }
                tls.seen->changed = true;
                tls.refused = true;
                return 0;
            }
            if (ok != 1) {
                tls.seen->reason = verifyReasons(X509_STORE_CTX_get_error(store), leaf, tls.host);
                tls.refused = true;
                return 0;
            }
            return 1;
        } catch (...) {
            return 0;
        }
    }

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
                          curl_off_t) noexcept {
        auto& self = *static_cast<Handles*>(user);
        if (self.file != nullptr) {
            // SIZE's answer, else the size the RETR reply named.
            self.report(now, total > 0 ? total : self.file->told.said());
        }
        return self.stop.stop_requested() ? 1 : 0;
    }
    // libcurl hands every socket here before use, and the data connection it
    // accepted in active mode.
    static int onSocket(void* user, curl_socket_t socket, curlsocktype purpose) noexcept {
        auto& self = *static_cast<Handles*>(user);
        if (purpose != CURLSOCKTYPE_ACCEPT || fromServer(self.easy, socket)) {
            return CURL_SOCKOPT_OK;
        }
        self.strangerRefused = true;
        return CURL_SOCKOPT_ERROR;
    }
    // libcurl shows each command it sends here (with CURLOPT_VERBOSE).
    static int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) noexcept {
        if (type == CURLINFO_HEADER_OUT) {
            auto& self = *static_cast<Handles*>(user);
            const std::string_view text(data, size);
            self.sentVerb.assign(
                text.substr(0, std::min(text.find_first_of(" \r\n"), std::size_t{8})));
            self.sawCommand = true;
        }
        return 0;
    }
    // libcurl hands every reply line of the control connection here; 0
    // ends the operation before libcurl acts on the reply.
    static size_t onReply(char* data, size_t size, size_t count, void* user) noexcept {
        auto& self = *static_cast<Handles*>(user);
        std::string_view line(data, size * count);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (isFinalReply(line)) {
            self.reply.assign(line.substr(0, kMaxReplyBytes + 4));
            const int code = replyCode(line);
            // A server that spoke TLS to this session and now refuses it
            // would next be sent USER and PASS in clear.
            if (self.sentVerb == "AUTH" && code != 234 && code != 334 && self.tlsOptional &&
                self.encrypted) {
                self.refusal = Refusal::NoTls;
                return 0;
            }
            // Over an encrypted control connection the data must be too;
            // libcurl would carry on in clear where TLS was optional.
            if (self.sentVerb == "PROT" && code / 100 != 2) {
                self.refusal = Refusal::ClearData;
                return 0;
            }
            self.encrypted = self.encrypted || line.substr(0, 4) == "234 ";
        }
        if (self.file != nullptr) {
            self.file->told.read(line);
        }
        return size * count;
    }
    // The last reply's words without its code.
    std::string replyText() const { return reply.size() > 4 ? reply.substr(4) : std::string(); }
    // Starts a public operation: false when a stop was already requested.
    bool begin() {
        stopped = stop.stop_requested();
        return !stopped;
    }

    ~Handles() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
    }
};

bool isPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '/' || c == '\\' || isControlByte(c); });
}

std::unique_ptr<FtpSession> FtpSession::open(const std::string& agent, FtpTimeouts timeouts) {
    initialiseCurlOnce();
    auto handles = std::make_unique<Handles>();
    handles->easy = curl_easy_init();
    handles->multi = curl_multi_init();
    if (handles->easy == nullptr || handles->multi == nullptr) {
        return nullptr;
    }
    handles->agent = agent;
    handles->tlsHooked =
        curl_easy_setopt(handles->easy, CURLOPT_SSL_CTX_FUNCTION, &Handles::onSslContext) ==
            CURLE_OK &&
        curl_easy_setopt(handles->easy, CURLOPT_SSL_CTX_DATA, handles.get()) == CURLE_OK;
    return std::unique_ptr<FtpSession>(new FtpSession(std::move(handles), timeouts));
}

FtpSession::FtpSession(std::unique_ptr<Handles> handles, FtpTimeouts timeouts)
    : handles_(std::move(handles)), timeouts_(timeouts) {
    CURL* easy = handles_->easy;
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, handles_->agent.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connect.count()));
    const auto responseSeconds = (timeouts_.response.count() + 999) / 1000;
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(responseSeconds));
    curl_easy_setopt(easy, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(timeouts_.accept.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeouts_.stalled.count()));
    // Active mode: EPRT, and PORT when the server does not know EPRT.
    curl_easy_setopt(easy, CURLOPT_FTPPORT, "-");
    curl_easy_setopt(easy, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Handles::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, handles_.get());
    // A stop during name resolution must not wait for the resolver thread.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Handles::onReply);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, handles_.get());
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &Handles::onSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, handles_.get());
    // No proxy from the environment (ftp_proxy, all_proxy...): an HTTP proxy
    // would be handed the mailbox's log-in.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handles_->errors);
    // AUTH TLS, never AUTH SSL first; and the control connection stays
    // encrypted to the end.
    curl_easy_setopt(easy, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    curl_easy_setopt(easy, CURLOPT_FTP_SSL_CCC, static_cast<long>(CURLFTPSSL_CCC_NONE));
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &Handles::onDebug);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, handles_.get());
    // libcurl reads no variable for it: this one lets a private CA be used.
    // It is read here, a regular file only: libcurl would open a FIFO named
    // there and wait on it where no stop reaches.
    if (const char* bundle = std::getenv("TYQLMFTP_CA_FILE"); bundle != nullptr && *bundle != 0) {
        auto read = readRegularFile(bundle, kMaxCaBytes);
        curl_blob blob{read.text.data(), read.text.size(), CURL_BLOB_COPY};
        if (!read.ok()) {
            handles_->caFailure = shown(bundle) + ": " + read.failure();
        } else if (curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob) != CURLE_OK) {
            handles_->caFailure = shown(bundle) + ": this libcurl cannot take it";
        }
        curl_easy_setopt(easy, CURLOPT_CAINFO, static_cast<char*>(nullptr));
        curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr));
    }
}

FtpSession::~FtpSession() = default;

void FtpSession::setStopToken(std::stop_token stop) {
    handles_->stop = std::move(stop);
}

void FtpSession::setProgress(DownloadProgress progress) {
    handles_->progress = std::move(progress);
}

void FtpSession::usePassive() {
    passive_ = true;
    curl_easy_setopt(handles_->easy, CURLOPT_FTPPORT, static_cast<char*>(nullptr));
}

bool FtpSession::encrypted() const noexcept {
    return handles_->encrypted;
}

bool FtpSession::stopped() const noexcept {
    return handles_->stopped;
}

int FtpSession::lastReply() const noexcept {
    const auto& reply = handles_->reply;
    if (reply.size() < 3) {
        return 0;
    }
    int code = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (reply[i] < '0' || reply[i] > '9') {
            return 0;
        }
        code = code * 10 + (reply[i] - '0');
    }
    return code;
}

std::string FtpSession::serverKey(const FtpServer& server) {
    return ftp::serverKey(server.host, server.port);
}

std::string FtpSession::urlFor(const std::string& escapedName) const {
    return "ftp://" + hostPart_ + "/" + escapedName;
}

int FtpSession::perform() {
    Handles& handles = *handles_;
    if (handles.stop.stop_requested()) {
        handles.stopped = true;
        return CURLE_ABORTED_BY_CALLBACK;
    }
    CURLM* multi = handles.multi;
    CURL* easy = handles.easy;
    handles.reply.clear();
    handles.strangerRefused = false;
    handles.sentVerb.clear();
    handles.refusal = Handles::Refusal::None;
    handles.errors[0] = 0;
    handles.tls.seen.reset();
    handles.tls.refused = false;
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    // A stop wakes the poll below at once, from whichever thread asks.
    const std::stop_callback wake(handles.stop, [multi] { curl_multi_wakeup(multi); });
    CURLcode result = CURLE_FAILED_INIT;
    int running = 1;
    while (running != 0) {
        if (handles.stop.stop_requested()) {
            break;  // removing the handle drops the connection without a word
        }
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            break;
        }
        if (running == 0) {
            break;
        }
        // The cap keeps passive transfers moving (see kPassivePollMs); in
        // active mode the sockets wake the loop.
        long wanted = -1;
        curl_multi_timeout(multi, &wanted);
        const int cap = passive_ ? kPassivePollMs : kActivePollMs;
        const int wait = (wanted < 0 || wanted > cap) ? cap : static_cast<int>(wanted);
        if (curl_multi_poll(multi, nullptr, 0, wait, nullptr) != CURLM_OK) {
            break;
        }
    }
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &pending)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
            result = message->data.result;
        }
    }
    curl_multi_remove_handle(multi, easy);
    if (result != CURLE_OK && handles.stop.stop_requested()) {
        handles.stopped = true;
        result = CURLE_ABORTED_BY_CALLBACK;
    }
    return result;
}

int FtpSession::performWithFallback() {
    auto code = static_cast<CURLcode>(perform());
    if (!passive_ && code != CURLE_OK) {
        long reply = 0;
        curl_easy_getinfo(handles_->easy, CURLINFO_RESPONSE_CODE, &reply);
        const bool stranger =
            code == CURLE_ABORTED_BY_CALLBACK && handles_->strangerRefused && !handles_->stopped;
        if (isActiveModeFailure(code, reply) || stranger) {
            // The server cannot reach us, or someone else can: passive mode
            // for the rest of the session. The control connection may still have the failed
            // command pending at the server, so it is dropped with the old
            // multi handle and the retry logs in afresh.
            CURLM* fresh = curl_multi_init();
            if (fresh == nullptr) {
                return code;
            }
            curl_multi_cleanup(handles_->multi);
            handles_->multi = fresh;
            passive_ = true;
            curl_easy_setopt(handles_->easy, CURLOPT_FTPPORT, static_cast<char*>(nullptr));
            return -1;
        }
    }
    return code;
}

LoginResult FtpSession::login(const FtpServer& server) {
    if (!handles_->begin()) {
        return {LoginStatus::FailedWithoutDescription, "Stopped"};
    }
    // The host goes through libcurl's URL parser, so a name with '/', '@' or
    // the like cannot smuggle in a path or credentials. libcurl would call
    // such a host a malformed URL: no description, as for every other
    // failure that is not about reaching the server.
    const auto address = ftp::parseAddress(server.host);
    if (address.host.empty()) {
        return {LoginStatus::FailedWithoutDescription, address.failure};
    }
    const long port = ftp::portOf(address, server.port);
    if (port < 1 || port > 65535) {
        return {LoginStatus::FailedWithDescription,
                "Port " + std::to_string(server.port) + " is outside 1 to 65535"};
    }
    hostPart_ = address.host;
    // libcurl sends them as they are: a CR LF in either would end the
    // command and start another one of the settings file's choosing.
    if (hasControlByte(server.user)) {
        return {LoginStatus::FailedWithoutDescription, "The user ID contains a control character"};
    }
    if (hasControlByte(server.password)) {
        return {LoginStatus::FailedWithoutDescription, "The password contains a control character"};
    }

    encryption_ = server.encryption;
    if (encryption_ != Encryption::Plain && !handles_->tlsHooked) {
        return {LoginStatus::FailedWithDescription,
                "The encrypted connection could not be set up: this libcurl cannot check "
                "certificates"};
    }
    CURL* easy = handles_->easy;
    // A server whose certificate was pinned, or that completed TLS before,
    // has spoken TLS: one that no longer offers it is not given the
    // password in clear.
    const bool pinned = !server.pinned.empty();
    tlsKnown_ = pinned || server.usedTls;
    const long useSsl = encryption_ == Encryption::Plain                   ? CURLUSESSL_NONE
                        : encryption_ == Encryption::Required || tlsKnown_ ? CURLUSESSL_ALL
                                                                           : CURLUSESSL_TRY;
    curl_easy_setopt(easy, CURLOPT_USE_SSL, useSsl);
    handles_->tlsOptional = useSsl == CURLUSESSL_TRY;
    // The replies to AUTH and PROT are judged by the command they answer.
    curl_easy_setopt(easy, CURLOPT_VERBOSE, useSsl == CURLUSESSL_NONE ? 0L : 1L);
    // libcurl would refuse a pinned certificate that does not verify: the
    // verify callback holds it to the pin instead.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, pinned ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, pinned ? 0L : 2L);
    handles_->tls.pinned = server.pinned;
    handles_->tls.host = ftp::certificateHost(address.host);
    curl_easy_setopt(easy, CURLOPT_PORT, port);
    curl_easy_setopt(easy, CURLOPT_USERNAME, server.user.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, server.password.c_str());
    const auto loginUrl = urlFor("");
    curl_easy_setopt(easy, CURLOPT_URL, loginUrl.c_str());
    // USER, PASS and PWD only: no data connection.
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(easy, CURLOPT_DIRLISTONLY, 0L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discardData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
    handles_->encrypted = false;
    const auto started = std::chrono::steady_clock::now();
    auto code = perform();
    if (code == CURLE_OK && useSsl != CURLUSESSL_NONE && !handles_->sawCommand) {
        // Without the commands no reply can be judged: a refused PROT P
        // would pass unseen.
        return {LoginStatus::FailedWithDescription,
                "The encrypted connection could not be set up: this libcurl does not show its "
                "commands"};
    }
    if (code == CURLE_OK) {
        // libcurl before 8.0 never starts TLS on a data connection the
        // server opened (active mode): the transfer would wait until it
        // timed out. Encrypted sessions use passive mode there.
        if (handles_->encrypted && curl_version_info(CURLVERSION_NOW)->version_num < 0x080000) {
            passive_ = true;
            curl_easy_setopt(easy, CURLOPT_FTPPORT, static_cast<char*>(nullptr));
        }
        return {LoginStatus::LoggedIn, {}};
    }
    return loginFailure(code, std::chrono::steady_clock::now() - started, port, server.password);
}

LoginResult FtpSession::loginFailure(int code, std::chrono::steady_clock::duration took, long port,
                                     const std::string& password) const {
    auto result = loginFailureOf(code, took, port, password);
    result.encryption = result.untrusted || handles_->refusal != Handles::Refusal::None ||
                        code == CURLE_USE_SSL_FAILED || isTlsFailure(code);
    result.refused = code == CURLE_LOGIN_DENIED && !result.encryption;
    return result;
}

LoginResult FtpSession::loginFailureOf(int code, std::chrono::steady_clock::duration took,
                                       long port, const std::string& password) const {
    CURL* easy = handles_->easy;
    const auto& tls = handles_->tls;
    const auto libcurlWords = [&] {
        return shown(handles_->errors[0] != 0
                         ? std::string(handles_->errors)
                         : std::string(curl_easy_strerror(static_cast<CURLcode>(code))));
    };
    // Refused by the verify callback, or by libcurl's own check of the name
    // right after the handshake: either way before USER.
    if (tls.seen && (tls.refused || code == CURLE_PEER_FAILED_VERIFICATION)) {
        Certificate certificate = *tls.seen;
        if (certificate.reason.empty()) {
            certificate.reason = libcurlWords();
        }
        const auto host = shown(tls.host);
        return {LoginStatus::FailedWithDescription,
                certificate.changed ? "The certificate of " + host + " has changed"
                                    : "The certificate of " + host +
                                          " could not be verified: " + certificate.reason,
                certificate};
    }
    if (handles_->refusal == Handles::Refusal::ClearData) {
        return {LoginStatus::FailedWithDescription,
                "The server refused to encrypt the data connections: " + shown(handles_->reply)};
    }
    if (code == CURLE_USE_SSL_FAILED) {
        if (encryption_ == Encryption::IfOffered && tlsKnown_) {
            return {LoginStatus::FailedWithDescription,
                    shown(tls.host) +
                        " used TLS before but does not offer it now; someone may be in between. " +
                        plainWayOut()};
        }
        return {LoginStatus::FailedWithDescription, "The server does not offer TLS encryption"};
    }
    if (isTlsFailure(code) && !handles_->caFailure.empty()) {
        return {LoginStatus::FailedWithDescription,
                "The encrypted connection could not be set up: cannot use " + handles_->caFailure};
    }
    if (isTlsFailure(code) && encryption_ == Encryption::IfOffered && !tlsKnown_) {
        return {LoginStatus::FailedWithDescription, "The TLS handshake with " + shown(tls.host) +
                                                        " failed: " + libcurlWords() + ". " +
                                                        plainWayOut()};
    }
    if (isTlsFailure(code)) {
        return {LoginStatus::FailedWithDescription,
                "The encrypted connection could not be set up: " + libcurlWords()};
    }
    if (code == CURLE_LOGIN_DENIED && encryption_ == Encryption::Plain &&
        asksForEncryption(handles_->reply)) {
        return {LoginStatus::FailedWithDescription,
                "The server requires encryption; choose \"" +
                    std::string(settings::kEncryptionIfOfferedCaption) + "\" in Setup"};
    }
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return {LoginStatus::FailedWithDescription, "Server not found: " + shown(hostPart_)};
        case CURLE_COULDNT_CONNECT: {
            long error = 0;
            curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &error);
            if (error == ECONNREFUSED) {
                return {LoginStatus::FailedWithDescription,
                        "The server refused the connection on port " + std::to_string(port)};
            }
            return {LoginStatus::FailedWithDescription,
                    "Cannot reach " + shown(hostPart_) + " on port " + std::to_string(port) +
                        (error != 0 ? ": " + std::string(std::strerror(static_cast<int>(error)))
                                    : std::string())};
        }
        case CURLE_OPERATION_TIMEDOUT: {
            // libcurl holds the whole log-in to the connect limit and each
            // reply to the response limit: whichever ran out first ended it.
            const bool connectLimit = took + std::chrono::milliseconds(50) >= timeouts_.connect;
            const auto limit =
                connectLimit ? seconds(timeouts_.connect) : seconds(timeouts_.response);
            return {
                LoginStatus::FailedWithDescription,
                "No answer from " + shown(hostPart_) + " after " + std::to_string(limit) + " s"};
        }
        case CURLE_LOGIN_DENIED: {
            std::string words = shown(handles_->replyText());
            // A server that echoes what it was sent must not show the password.
            for (auto at = password.empty() ? std::string::npos : words.find(password);
                 at != std::string::npos; at = words.find(password, at + 3)) {
                words.replace(at, password.size(), "***");
            }
            return {LoginStatus::FailedWithDescription,
                    words.empty() ? "The server refused the log-in"
                                  : "The server refused the log-in: " + words};
        }
        case CURLE_ABORTED_BY_CALLBACK:
            return {LoginStatus::FailedWithoutDescription, "Stopped"};
        default:
            return {LoginStatus::FailedWithoutDescription,
                    "The log-in failed: " +
                        std::string(curl_easy_strerror(static_cast<CURLcode>(code)))};
    }
}

std::string FtpSession::failureOf(int code) const {
    if (handles_->refusal == Handles::Refusal::ClearData) {
        return "the server refused to encrypt the data connection";
    }
    if (handles_->refusal == Handles::Refusal::NoTls ||
        (code == CURLE_USE_SSL_FAILED && handles_->encrypted)) {
        return "the server no longer offers TLS";
    }
    switch (code) {
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
    if (replyCode(handles_->reply) >= 400) {
        return "the server replied: " + shown(handles_->reply);
    }
    return shown(curl_easy_strerror(static_cast<CURLcode>(code)));
}

int FtpSession::list(bool mlsd, std::string& text, bool& tooLong) {
    CURL* easy = handles_->easy;
    ListingSink sink;
    const auto url = urlFor("");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(easy, CURLOPT_DIRLISTONLY, mlsd ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, mlsd ? "MLSD" : nullptr);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendListing);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
    auto code = performWithFallback();
    if (code < 0) {
        sink.text.clear();
        code = performWithFallback();
    }
    curl_easy_setopt(easy, CURLOPT_DIRLISTONLY, 0L);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
    text = std::move(sink.text);
    tooLong = sink.tooLong;
    return code;
}

ZipListing FtpSession::listZipFiles() {
    if (!handles_->begin()) {
        return {false, {}, {}, "stopped"};
    }
    std::string text;
    bool tooLong = false;
    bool mlsd = !noMlsd_;
    auto code = list(mlsd, text, tooLong);
    // A server that does not know MLSD says so in a 5xx reply; anything
    // else (a dropped connection, a stop) is the listing's own failure.
    if (mlsd && code != CURLE_OK && !tooLong && !handles_->stopped &&
        replyCode(handles_->reply) >= 500) {
        noMlsd_ = true;
        mlsd = false;
        code = list(false, text, tooLong);
    }
    ZipListing listing;
    if (code != CURLE_OK) {
        listing.failure =
            tooLong ? "it is longer than " + std::to_string(kMaxListingBytes >> 20) + " MB"
                    : failureOf(code);
        return listing;
    }
    listing.listed = true;
    auto found = ftp::zipNamesIn(text, mlsd);
    listing.names = std::move(found.names);
    listing.sizes = std::move(found.sizes);
    return listing;
}

long long FtpSession::sizeOf(const std::string& url) {
    CURL* easy = handles_->easy;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discardData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
    curl_off_t size = -1;
    if (perform() == CURLE_OK) {
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
    }
    curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
    return size;
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), size_(other.size_) {}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
    if (this != &other) {
        drop();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        size_ = other.size_;
    }
    return *this;
}

PendingFile::~PendingFile() {
    drop();
}

void PendingFile::drop() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
        fd_ = -1;
    }
}

DownloadResult PendingFile::commit(const std::string& target) {
    using enum DownloadStatus;
    if (fd_ < 0) {
        return {Failed, "nothing was fetched"};
    }
    const int fd = std::exchange(fd_, -1);
    std::string failure;
    if (::close(fd) != 0) {
        failure = folderFailure(errno);
    } else if (std::rename(path_.c_str(), target.c_str()) == 0) {
        return {Downloaded, {}};
    } else {
        failure = errno == EISDIR ? "a folder of that name is in the way" : folderFailure(errno);
    }
    ::unlink(path_.c_str());
    return {Failed, failure};
}

DownloadResult FtpSession::download(const std::string& name, const std::string& folder,
                                    long long listedSize) {
    auto fetched = fetch(name, folder, listedSize);
    if (!fetched.result) {
        return fetched.result;
    }
    auto result = fetched.file.commit(folder + "/" + name);
    if (result) {
        handles_->report(fetched.file.size(), fetched.file.size());
    }
    return result;
}

FetchResult FtpSession::fetch(const std::string& name, const std::string& folder,
                              long long listedSize) {
    using enum DownloadStatus;
    if (!handles_->begin()) {
        return {{Stopped, {}}, {}};
    }
    if (!isPlainFileName(name)) {
        return {{Failed, "not a plain file name"}, {}};
    }
    CURL* easy = handles_->easy;
    // Escaped only now: libcurl decodes "%2F" into a path step.
    CurlString escaped(curl_easy_escape(easy, name.c_str(), static_cast<int>(name.size())));
    if (!escaped) {
        return {{Failed, "out of memory"}, {}};
    }
    std::string temporary =
        (staging_.empty() ? folder : staging_) + "/" + kDownloadTempPrefix + "XXXXXX";
    FileSink sink;
    sink.fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (sink.fd < 0) {
        return {{Failed, folderFailure(errno)}, {}};
    }
    // From here the temporary file goes with the result, or away.
    PendingFile pending(sink.fd, temporary);
    std::string failure;
    if (fchmod(sink.fd, 0644) != 0) {
        failure = folderFailure(errno);
    }

    // libcurl would send SIZE itself and quietly cut a longer stream to the
    // size named; it is told to read to the end instead, and the length is
    // checked here. SIZE goes first as a command whose refusal is ignored.
    // Once the server has shown that its RETR reply names the size, SIZE is
    // a round trip saved: for small files that is a third of the time.
    // A size the listing told spares both.
    const bool listed = listedSize >= 0;
    const bool sizeFromReply = sizeInReply_ || listed;
    std::unique_ptr<curl_slist, CurlListDeleter> sizeCommand;
    if (failure.empty() && !sizeFromReply) {
        sizeCommand.reset(curl_slist_append(nullptr, ("*SIZE " + name).c_str()));
        if (!sizeCommand) {
            failure = "out of memory";
        }
    }
    if (failure.empty()) {
        sink.told.sized = listed ? listedSize : -1;
        handles_->file = &sink;
        handles_->shownDone = -1;
        handles_->shownTotal = -1;
        const auto url = urlFor(escaped.get());
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(easy, CURLOPT_DIRLISTONLY, 0L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        curl_easy_setopt(easy, CURLOPT_PREQUOTE, sizeCommand.get());
        auto code = performWithFallback();
        if (code < 0) {
            // Nothing of the failed attempt is kept, a stranger's bytes least.
            if (ftruncate(sink.fd, 0) == 0 && lseek(sink.fd, 0, SEEK_SET) == 0) {
                sink.written = 0;
                sink.told = {listed ? listedSize : -1, -1};
                code = performWithFallback();
            } else {
                failure = folderFailure(errno);
            }
        }
        handles_->file = nullptr;  // a SIZE below moves no file bytes
        curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
        curl_easy_setopt(easy, CURLOPT_PREQUOTE, static_cast<curl_slist*>(nullptr));
        const auto said = [&]() -> curl_off_t {
            if (!listed && sizeFromReply && sink.told.announced < 0 && code == CURLE_OK) {
                // Not named this time after all: ask for it, as before.
                sizeInReply_ = false;
                return sizeOf(url);
            }
            return sink.told.said();
        }();
        if (failure.empty() && code != CURLE_OK) {
            if (code == CURLE_WRITE_ERROR && handles_->refusal == Handles::Refusal::None) {
                failure = folderFailure(sink.error);
            } else if (code == CURLE_REMOTE_FILE_NOT_FOUND) {
                failure = "not on the server";
            } else if (code == CURLE_PARTIAL_FILE) {
                // The data connection ended before the size the server named.
                failure = "shorter than the server said";
            } else {
                failure = failureOf(code);
            }
        }
        if (failure.empty()) {
            if (!sizeFromReply || (listed && sink.told.announced >= 0)) {
                sizeInReply_ = sink.told.announced >= 0;
            }
            curl_off_t received = 0;
            curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
            switch (ftp::sizeVerdict(sink.written, received, sink.told, said)) {
                case ftp::SizeVerdict::NotAsSaid:
                    failure = "not the size the server said";
                    break;
                case ftp::SizeVerdict::Short:
                    failure = "shorter than the server said";
                    break;
                case ftp::SizeVerdict::Long:
                    failure = "longer than the server said";
                    break;
                case ftp::SizeVerdict::Whole:
                    break;
            }
        }
    }
    // Stopped while asking SIZE: the file is not known to be whole.
    if (handles_->stopped) {
        return {{Stopped, {}}, {}};
    }
    if (!failure.empty()) {
        return {{Failed, failure}, {}};
    }
    pending.setSize(sink.written);
    return {{Downloaded, {}}, std::move(pending)};
}

}  // namespace tyq::download
