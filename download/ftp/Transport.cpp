#include "download/ftp/Transport.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "common/Log.h"
#include "download/ftp/Handles.h"
#include "download/ftp/Sinks.h"

namespace tyq::download::ftp {
namespace {

// Large buffers matter for large files: 16 KiB costs about half the speed,
// and 4 MiB is about 15% faster than 512 KiB on a 1 GiB file (bench/run),
// for 4 MB more memory.
constexpr long kBufferSize = 4096L * 1024L;
// libcurl 7.88 can stall each passive data connection for up to a second
// unless the transfer loop comes round this often.
constexpr int kPassivePollMs = 5;
constexpr int kActivePollMs = 1000;

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlStringDeleter {
    void operator()(char* text) const noexcept { curl_free(text); }
};

struct CurlListDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

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

long curlUseSsl(TlsUse use) {
    switch (use) {
        case TlsUse::None:
            return CURLUSESSL_NONE;
        case TlsUse::Try:
            return CURLUSESSL_TRY;
        case TlsUse::Required:
            break;
    }
    return CURLUSESSL_ALL;
}

// The server and what is asked of its TLS, for the log.
std::string describe(const LoginRequest& request) {
    static constexpr const char* kTls[] = {"no TLS", "TLS if offered", "TLS required"};
    return request.server.key() + ", " + kTls[static_cast<int>(request.tls)] +
           (request.server.pin.empty() ? "" : ", pinned " + request.server.pin) +
           (request.server.usedTlsBefore ? ", used TLS before" : "");
}

}  // namespace

int Outcome::replyCode() const noexcept {
    return replyCodeOf(reply);
}

std::unique_ptr<Transport> Transport::open(const std::string& agent, Timeouts timeouts) {
    initialiseCurlOnce();
    auto handles = std::make_unique<Handles>();
    handles->easy = curl_easy_init();
    handles->multi = curl_multi_init();
    if (handles->easy == nullptr || handles->multi == nullptr) {
        return nullptr;
    }
    handles->agent = agent;
    handles->tlsHooked = curl_easy_setopt(handles->easy, CURLOPT_SSL_CTX_FUNCTION,
                                          &TlsTrust::onSslContext) == CURLE_OK;
    handles->tls.loadStore(handles->easy);
    return std::unique_ptr<Transport>(new Transport(std::move(handles), timeouts));
}

Transport::Transport(std::unique_ptr<Handles> handles, Timeouts timeouts)
    : handles_(std::move(handles)), timeouts_(timeouts) {}

Transport::~Transport() = default;

void Transport::applyCommon(const std::string& path) {
    Handles& handles = *handles_;
    CURL* easy = handles.easy;
    curl_easy_reset(easy);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, handles.agent.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connect.count()));
    const auto responseSeconds = (timeouts_.response.count() + 999) / 1000;
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(responseSeconds));
    curl_easy_setopt(easy, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(timeouts_.accept.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeouts_.stalled.count()));
    // Active mode: EPRT, and PORT when the server does not know EPRT.
    if (!passive_) {
        curl_easy_setopt(easy, CURLOPT_FTPPORT, "-");
    }
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Handles::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &handles);
    // A stop during name resolution must not wait for the resolver thread.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Handles::onReply);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &handles);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &Handles::onSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, &handles);
    // No proxy from the environment (ftp_proxy, all_proxy...): an HTTP proxy
    // would be handed the mailbox's log-in.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handles.errors);
    // AUTH TLS, never AUTH SSL first; and the control connection stays
    // encrypted to the end.
    curl_easy_setopt(easy, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    curl_easy_setopt(easy, CURLOPT_FTP_SSL_CCC, static_cast<long>(CURLFTPSSL_CCC_NONE));
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &Handles::onDebug);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &handles);
    if (handles.tlsHooked) {
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &TlsTrust::onSslContext);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &handles.tls);
    }
    handles.tls.applyStore(easy);
    if (!connection_) {
        return;
    }
    const LoginRequest& login = *connection_;
    const long useSsl = curlUseSsl(login.tls);
    curl_easy_setopt(easy, CURLOPT_USE_SSL, useSsl);
    // The replies to AUTH and PROT are judged by the command they answer.
    curl_easy_setopt(easy, CURLOPT_VERBOSE, useSsl == CURLUSESSL_NONE ? 0L : 1L);
    // libcurl would refuse a pinned certificate that does not verify: the
    // verification holds it to the pin instead.
    const bool pinned = !login.server.pin.empty();
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, pinned ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, pinned ? 0L : 2L);
    curl_easy_setopt(easy, CURLOPT_PORT, login.server.port);
    curl_easy_setopt(easy, CURLOPT_USERNAME, login.user.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, login.password.c_str());
    const auto url = "ftp://" + login.server.host + "/" + path;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
}

bool Transport::begin() {
    handles_->stopped = handles_->stop.stop_requested();
    return !handles_->stopped;
}

Outcome Transport::perform() {
    Handles& handles = *handles_;
    Outcome outcome;
    handles.reply.clear();
    handles.strangerRefused = false;
    handles.sentVerb.clear();
    handles.refusal = Refusal::None;
    handles.errors[0] = 0;
    handles.tls.beginRequest();
    CURLM* multi = handles.multi;
    CURL* easy = handles.easy;
    CURLcode result = CURLE_FAILED_INIT;
    if (handles.stop.stop_requested()) {
        handles.stopped = true;
        result = CURLE_ABORTED_BY_CALLBACK;
    } else if (curl_multi_add_handle(multi, easy) == CURLM_OK) {
        // A stop wakes the poll below at once, from whichever thread asks.
        const std::stop_callback wake(handles.stop, [multi] { curl_multi_wakeup(multi); });
        int running = 1;
        while (running != 0) {
            if (handles.stop.stop_requested()) {
                break;  // removing the handle drops the connection without a word
            }
            if (curl_multi_perform(multi, &running) != CURLM_OK || running == 0) {
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
    }
    outcome.code = result;
    outcome.ending = result == CURLE_OK ? Ending::Done
                     : handles.stopped  ? Ending::Stopped
                                        : Ending::Failed;
    outcome.refusal = handles.refusal;
    outcome.reply = handles.reply;
    outcome.curlWords = handles.errors[0] != 0 ? std::string(handles.errors)
                                               : std::string(curl_easy_strerror(result));
    return outcome;
}

Transport::Attempt Transport::attempt(Outcome& outcome) {
    outcome = perform();
    if (outcome.ok()) {
        return Attempt::Done;
    }
    if (outcome.ending == Ending::Stopped) {
        return Attempt::Stopped;
    }
    if (!passive_) {
        long reply = 0;
        curl_easy_getinfo(handles_->easy, CURLINFO_RESPONSE_CODE, &reply);
        const bool stranger =
            outcome.code == CURLE_ABORTED_BY_CALLBACK && handles_->strangerRefused;
        if (isActiveModeFailure(outcome.code, reply) || stranger) {
            // The server cannot reach us, or someone else can: passive mode
            // for the rest of the session. The control connection may still
            // have the failed command pending at the server, so it is dropped
            // with the old multi handle and the retry logs in afresh.
            CURLM* fresh = curl_multi_init();
            if (fresh == nullptr) {
                return Attempt::Failed;
            }
            curl_multi_cleanup(handles_->multi);
            handles_->multi = fresh;
            passive_ = true;
            log::record(log::Category::Ftp, [&] {
                return std::string(stranger
                                       ? "a data connection came from elsewhere than the server"
                                       : "active mode failed") +
                       " (libcurl " + std::to_string(outcome.code) + ", reply " +
                       std::to_string(reply) + "): passive mode from now on, trying again";
            });
            return Attempt::RetryPassive;
        }
    }
    return Attempt::Failed;
}

LoginOutcome Transport::login(const LoginRequest& request) {
    connection_ = request;
    Handles& handles = *handles_;
    handles.tls.expect(request.server);
    handles.tlsOptional = request.tls == TlsUse::Try;
    handles.encrypted = false;
    applyCommon("");
    // USER, PASS and PWD only: no data connection.
    curl_easy_setopt(handles.easy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handles.easy, CURLOPT_WRITEFUNCTION, discardData);
    const auto started = std::chrono::steady_clock::now();
    log::record(log::Category::Ftp, [&] { return "logging in to " + describe(request); });
    LoginOutcome outcome;
    static_cast<Outcome&>(outcome) = perform();
    outcome.took = std::chrono::steady_clock::now() - started;
    // Codes only: a reply to PASS may echo the password.
    log::record(log::Category::Ftp, [&] {
        return outcome.ok()
                   ? std::string(handles.encrypted ? "logged in over TLS" : "logged in without TLS")
                   : "log-in failed: libcurl " + std::to_string(outcome.code) + " (" +
                         curl_easy_strerror(outcome.code) + "), reply " +
                         std::to_string(outcome.replyCode());
    });
    if (outcome.code == CURLE_USE_SSL_FAILED && request.server.knownForTls()) {
        log::record(log::Category::Tls, [&] {
            return request.server.key() + " refused AUTH TLS but used TLS before: not logged in";
        });
    }
    outcome.sawCommands = handles.sawCommand;
    if (!outcome.ok()) {
        curl_easy_getinfo(handles.easy, CURLINFO_OS_ERRNO, &outcome.osError);
        outcome.certificate = handles.tls.seen();
        outcome.certificateRefused = handles.tls.refused();
    } else if (handles.encrypted && (request.tls == TlsUse::None || handles.sawCommand) &&
               curl_version_info(CURLVERSION_NOW)->version_num < 0x080000) {
        // libcurl before 8.0 never starts TLS on a data connection the
        // server opened (active mode): the transfer would wait until it
        // timed out. Encrypted sessions use passive mode there.
        passive_ = true;
        log::record(log::Category::Ftp, [] {
            return std::string(
                "passive mode from now on: this libcurl cannot encrypt "
                "active-mode data connections");
        });
    }
    return outcome;
}

ListOutcome Transport::list(const ListRequest& request) {
    ListingSink sink;
    ListOutcome outcome;
    Attempt tried = Attempt::RetryPassive;
    for (int round = 0; round < 2 && tried == Attempt::RetryPassive; ++round) {
        sink = {};
        applyCommon("");
        CURL* easy = handles_->easy;
        curl_easy_setopt(easy, CURLOPT_DIRLISTONLY, request.mlsd || request.long_ ? 0L : 1L);
        if (request.mlsd) {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "MLSD");
        }
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendListing);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
        tried = attempt(outcome);
    }
    // libcurl reads a 450 to a listing as an empty folder; it is a refusal
    // for now, as is every 4xx, and a mailbox is not empty for it.
    if (outcome.ok() && outcome.replyCode() / 100 == 4) {
        outcome.ending = Ending::Failed;
        outcome.code = CURLE_FTP_COULDNT_RETR_FILE;
        log::record(log::Category::Ftp, [&] {
            return "listing refused for now: reply " + std::to_string(outcome.replyCode());
        });
    }
    outcome.text = std::move(sink.text);
    outcome.tooLong = sink.tooLong;
    return outcome;
}

RetrieveOutcome Transport::retrieve(const RetrieveRequest& request) {
    RetrieveOutcome outcome;
    CURL* easy = handles_->easy;
    const auto from = static_cast<off_t>(std::max(request.resumeFrom, 0LL));
    const auto overlap = static_cast<off_t>(std::clamp<long long>(request.overlap, 0, from));
    // Resumed, the file's last bytes are asked for again and compared
    // before anything is appended.
    std::string expected(static_cast<std::size_t>(overlap), '\0');
    if (overlap > 0 &&
        ::pread(request.fd, expected.data(), expected.size(), from - overlap) != overlap) {
        outcome.code = CURLE_WRITE_ERROR;
        outcome.curlWords = "cannot read the partial";
        outcome.differs = true;
        return outcome;
    }
    // Escaped only now: libcurl decodes "%2F" into a path step.
    std::unique_ptr<char, CurlStringDeleter> escaped(
        curl_easy_escape(easy, request.name.c_str(), static_cast<int>(request.name.size())));
    // libcurl would send SIZE itself and quietly cut a longer stream to the
    // size named; it is told to read to the end instead, and the length is
    // checked by the caller. SIZE goes first as a command whose refusal is
    // ignored. libcurl's own resume would cut the stream too, and take a
    // stream from the file's start for the rest: REST goes the same way,
    // and a refusal of it fails the request.
    std::unique_ptr<curl_slist, CurlListDeleter> commands;
    const bool askSize = request.askSize || from > 0;
    bool listed = true;
    if (askSize) {
        commands.reset(curl_slist_append(nullptr, ("*SIZE " + request.name).c_str()));
        listed = commands != nullptr;
    }
    // Appended to a list that has its head already: the head stays.
    if (listed && from - overlap > 0) {
        listed = curl_slist_append(commands.get(),
                                   ("REST " + std::to_string(from - overlap)).c_str()) != nullptr;
    }
    if (!escaped || !listed) {
        outcome.code = CURLE_OUT_OF_MEMORY;
        outcome.curlWords = "out of memory";
        return outcome;
    }
    FileSink sink;
    sink.fd = request.fd;
    Attempt tried = Attempt::RetryPassive;
    for (int round = 0; round < 2 && tried == Attempt::RetryPassive; ++round) {
        // Nothing of a failed attempt is kept, a stranger's bytes least.
        if (round > 0 &&
            (ftruncate(sink.fd, from) != 0 || lseek(sink.fd, from, SEEK_SET) != from)) {
            sink.error = errno;
            outcome.code = CURLE_WRITE_ERROR;
            outcome.refusal = Refusal::None;
            break;
        }
        sink.written = 0;
        sink.expected = expected;
        sink.matched = 0;
        sink.differs = false;
        sink.limit = from > 0 ? request.rest : -1;
        sink.overrun = false;
        // Resumed, SIZE's answer is what tells whether the file is still
        // the one listed.
        sink.told = {from > 0 ? -1 : request.listedSize, -1};
        handles_->shownDone = -1;
        handles_->shownTotal = -1;
        handles_->resumedFrom = from;
        handles_->resumedOverlap = overlap;
        handles_->resumedSize = request.listedSize;
        applyCommon(escaped.get());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        curl_easy_setopt(easy, CURLOPT_PREQUOTE, commands.get());
        handles_->file = &sink;
        tried = attempt(outcome);
        handles_->file = nullptr;
    }
    handles_->resumedFrom = 0;
    handles_->resumedOverlap = 0;
    curl_off_t counted = 0;
    curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &counted);
    outcome.counted = counted - static_cast<curl_off_t>(sink.matched);
    outcome.written = sink.written;
    outcome.told = sink.told;
    outcome.writeError = sink.error;
    outcome.differs = sink.differs;
    outcome.overrun = sink.overrun;
    return outcome;
}

SizeOutcome Transport::size(const SizeRequest& request) {
    SizeOutcome outcome;
    CURL* easy = handles_->easy;
    std::unique_ptr<char, CurlStringDeleter> escaped(
        curl_easy_escape(easy, request.name.c_str(), static_cast<int>(request.name.size())));
    if (!escaped) {
        outcome.code = CURLE_OUT_OF_MEMORY;
        return outcome;
    }
    applyCommon(escaped.get());
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discardData);
    curl_easy_setopt(easy, CURLOPT_FILETIME, request.time ? 1L : 0L);
    static_cast<Outcome&>(outcome) = perform();
    curl_off_t size = -1;
    curl_off_t time = -1;
    if (outcome.ok()) {
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
        if (request.time) {
            curl_easy_getinfo(easy, CURLINFO_FILETIME_T, &time);
        }
    }
    outcome.size = size;
    std::tm utc{};
    const auto seconds = static_cast<std::time_t>(time);
    if (time >= 0 && ::gmtime_r(&seconds, &utc) != nullptr) {
        char text[32];
        std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
        outcome.modified = text;
    }
    return outcome;
}

bool Transport::encrypted() const noexcept {
    return handles_->encrypted;
}

bool Transport::canCheckCertificates() const noexcept {
    return handles_->tlsHooked;
}

const std::string& Transport::storeFailure() const noexcept {
    return handles_->tls.storeFailure();
}

void Transport::setStopToken(std::stop_token stop) {
    handles_->stop = std::move(stop);
}

void Transport::setProgress(Progress progress) {
    handles_->progress = std::move(progress);
}

void Transport::report(std::int64_t done, std::int64_t total) {
    handles_->report(done, total);
}

bool Transport::stopped() const noexcept {
    return handles_->stopped;
}

int Transport::lastReply() const noexcept {
    // Only final reply lines are kept.
    return replyCodeOf(handles_->reply);
}

}  // namespace tyq::download::ftp
