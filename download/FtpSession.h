#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/TempFile.h"
#include "download/PartialStore.h"
#include "download/TlsPolicy.h"
#include "download/ZipListing.h"
#include "download/ftp/Identity.h"
#include "download/ftp/Limits.h"

namespace tyq::download {

namespace ftp {
class Transport;
struct Outcome;
struct ListOutcome;
struct LoginOutcome;
struct RetrieveOutcome;
}  // namespace ftp

// A resume asks again for this many of the partial's last bytes and goes on
// only when they are the same: a server that does not go on from where it
// is asked, or a partial changed since it was written, shows there.
inline constexpr long long kResumeOverlap = 8192;

// The FTP facility's own time limits.
using FtpTimeouts = ftp::Timeouts;

struct FtpServer {
    // A name or address, "host:port", "[IPv6]:port" or "ftp://host:port/";
    // a port named there wins over `port`.
    std::string host;
    int port = 21;  // 0 means the FTP default port
    std::string user;
    std::string password;
    Encryption encryption = Encryption::IfOffered;
    // The fingerprint ("sha256:HEX") of the certificate the user chose to
    // trust for this server: that certificate, and no other, is accepted
    // without verifying, and the server must then encrypt.
    std::string pinned;
    // The server completed TLS before: it is not logged in to without TLS,
    // whatever the choice, unless that is Plain.
    bool usedTls = false;
};

// The server's certificate as the TLS handshake showed it.
using Certificate = ftp::Certificate;

enum class LoginStatus {
    LoggedIn,
    // Refused, unreachable, not resolved, timed out: the description says which.
    FailedWithDescription,
    FailedWithoutDescription,
};

struct LoginResult {
    LoginResult() = default;
    LoginResult(LoginStatus status, std::string description,
                std::optional<Certificate> untrusted = std::nullopt)
        : status(status), description(std::move(description)), untrusted(std::move(untrusted)) {}

    LoginStatus status = LoginStatus::FailedWithoutDescription;
    // What went wrong, in words a user can act on; never the password.
    std::string description;
    // The certificate that was not accepted; nothing was sent over its
    // connection. Trusting it means logging in again with it pinned.
    std::optional<Certificate> untrusted;
    // It failed for want of a sound encrypted connection, before the server
    // could judge the user ID and password.
    bool encryption = false;
    // The server refused the log-in itself (530): the user ID or password
    // may be wrong. Every other failure is no fault of theirs.
    bool refused = false;
};

enum class DownloadStatus { Downloaded, Stopped, Failed };

// The failure of a file that could not be written for want of space: the
// one a later run may get past without the user.
inline constexpr char kDiskFullFailure[] = "the disk is full";

struct DownloadResult {
    DownloadStatus status = DownloadStatus::Failed;
    std::string failure;  // a few plain words, when Failed
    bool ok() const noexcept { return status == DownloadStatus::Downloaded; }
    explicit operator bool() const noexcept { return ok(); }
};

// A whole file fetched into a temporary file (in the staging folder, or the
// folder itself), not yet under its name: committing renames it there,
// anything else removes it.
class PendingFile {
  public:
    PendingFile() = default;
    explicit PendingFile(TempFile file) : file_(std::move(file)) {}
    // A file fetched into the partial folder; not committed, it waits there
    // for a later run.
    explicit PendingFile(PartialFile file) : partial_(std::move(file)) {}

    // Replaces target with the file; on failure nothing of it is left.
    DownloadResult commit(const std::string& target);
    std::int64_t size() const noexcept { return size_; }
    void setSize(std::int64_t size) noexcept { size_ = size; }

  private:
    TempFile file_;
    PartialFile partial_;
    std::int64_t size_ = 0;
};

struct FetchResult {
    DownloadResult result;
    PendingFile file;  // only when the result is Downloaded
};

// Bytes of the current download so far, and its size as the server names it
// (-1 while unknown).
using DownloadProgress = ftp::Progress;

// One FTP session over libcurl: a single connection that logs in once and
// serves every listing and download of the transfer. Active mode first; when
// the data connection cannot be set up that way (the server refuses PORT and
// EPRT, or never connects back) the session switches to passive mode for the
// rest of its life. It does the same when a data connection comes from any
// address but the server's, which is refused unread.
class FtpSession {
  public:
    // "host:port" for the server's address as log-in reads it, the host in
    // lower case (an IPv6 address in brackets); empty when it is no address.
    // Certificates are remembered under it.
    static std::string serverKey(const FtpServer& server);
    // Nothing when no session can be created (libcurl cannot start).
    static std::unique_ptr<FtpSession> open(const std::string& agent, FtpTimeouts timeouts = {});
    ~FtpSession();
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    // Connects and logs in to the login directory without opening a data
    // connection. A user ID or password with a control character is refused
    // before anything is sent. Unless the choice is Plain, AUTH TLS goes
    // first; once the server accepts it, the control connection and every
    // data connection are encrypted (a server that refuses PROT P is left
    // before any data connection), and nothing is sent before the
    // certificate verifies against the trust store (TYQLMFTP_CA_FILE, a PEM
    // bundle of a regular file, instead of the system's when set) and names
    // the host, or is the one pinned. Once a connection of the session was
    // encrypted, every later one must be too.
    LoginResult login(const FtpServer& server);
    // The names of the login directory that end in ".ZIP" in any letter case,
    // in the server's order. A listing that fails is not an empty mailbox.
    // MLSD first, for the sizes that spare a SIZE per file; NLST where the
    // server does not know MLSD. Described: the sizes and times are wanted
    // too, and a LIST that shows them with every name takes NLST's place.
    ZipListing listZipFiles(bool described = false);
    // The server refused MLSD before: a described listing starts with LIST,
    // and asks MLSD again only when that LIST does not tell the names.
    void assumeNoMlsd() noexcept { noMlsd_ = mlsdAssumed_ = true; }
    // The server refused MLSD, or was assumed to and was not asked.
    bool noMlsd() const noexcept { return noMlsd_; }
    // Completes a listing's sizes and times where it told none: one LIST
    // first (sizes and times as "ls -l" shows them), then SIZE and MDTM for
    // each file it did not show.
    void describe(ZipListing& listing);
    // Downloads one file of the login directory to folder + "/" + name. The
    // data goes to a temporary file in the staging folder (else in that
    // folder) that replaces the final
    // name only once the whole file has arrived, so a failure leaves an
    // existing file of that name as it was. A file shorter or longer than
    // the size the server names (the listing's, SIZE, or its RETR reply)
    // fails. SIZE is asked only when neither the listing nor earlier RETR
    // replies tell sizes.
    // With a partial folder and the file's listed size and time, the data
    // goes there instead, recorded so that a fetch cut short (a stop, a
    // dropped connection, a kill) is resumed with REST by a later run.
    DownloadResult download(const std::string& name, const std::string& folder,
                            long long listedSize = -1, const std::string& listedTime = {});
    // The same download, stopping short of the rename: the file whole and
    // checked, waiting in the folder for its turn.
    FetchResult fetch(const std::string& name, const std::string& folder, long long listedSize = -1,
                      const std::string& listedTime = {});
    // Where temporary files go: a folder of the command's own on the same
    // file system as the folders downloaded into.
    void setStagingFolder(std::string folder) { staging_ = std::move(folder); }
    // Where fetches cut short wait to be resumed; it must outlive the
    // session's downloads.
    void setPartialStore(PartialStore* store) noexcept { partials_ = store; }
    // Passive mode from the start, as a session that found active mode
    // failing uses.
    void usePassive();

    bool passive() const noexcept;
    // The log-in went over TLS.
    bool encrypted() const noexcept;

    // Once stop is requested, the operation under way ends at once and so
    // does every later one; a download then leaves no file behind.
    void setStopToken(std::stop_token stop);
    // Called on the session's thread as each download's bytes arrive; must
    // not throw (it runs inside libcurl).
    void setProgress(DownloadProgress progress);
    // Whether the last operation ended because a stop was requested.
    bool stopped() const noexcept;
    // The code of the server's last final reply (421, 530...), or 0.
    int lastReply() const noexcept;

  private:
    explicit FtpSession(std::unique_ptr<ftp::Transport> transport);
    // Why a listing or download ended as it did, in plain words.
    std::string failureOf(const ftp::Outcome& outcome) const;
    std::string listingFailure(const ftp::ListOutcome& outcome) const;
    // Why a download ended short of its end; resumable: what arrived can be
    // gone on from.
    std::string failureOfRetrieve(const std::string& name, const ftp::RetrieveOutcome& outcome,
                                  bool& resumable) const;
    LoginResult loginFailure(const ftp::LoginOutcome& outcome, const std::string& password) const;
    LoginResult loginFailureOf(const ftp::LoginOutcome& outcome, const std::string& password) const;
    // The failure in words when it is about encryption.
    std::optional<LoginResult> tlsFailureOf(const ftp::LoginOutcome& outcome) const;
    // How a file's bytes came into a pending file.
    struct Retrieved {
        std::string failure;  // empty when whole
        long long written = 0;
        // What arrived can be gone on from (a dropped connection, a stall).
        bool resumable = false;
        // The server would not go on from where the file ends.
        bool restRefused = false;
        // A resume that did not continue the partial: it is fetched whole.
        bool notContinued = false;
    };
    // The file's bytes into the pending file, judged against the sizes
    // told; from: the bytes it already holds.
    Retrieved retrieveInto(const std::string& name, int fd, long long listedSize,
                           long long from = 0);
    Retrieved resumeInto(const std::string& name, int fd, long long listedSize, long long from);
    FetchResult fetchPartial(const std::string& name, PartialFile partial, long long listedSize);

    std::unique_ptr<ftp::Transport> transport_;
    // The server of the last log-in.
    ftp::ServerIdentity server_;
    Encryption encryption_ = Encryption::IfOffered;
    // The server names each file's size in its RETR reply.
    bool sizeInReply_ = false;
    std::string staging_;
    PartialStore* partials_ = nullptr;
    // The server refused MLSD: NLST from then on.
    bool noMlsd_ = false;
    // ... only as far as assumeNoMlsd() said.
    bool mlsdAssumed_ = false;
};

}  // namespace tyq::download
