#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "download/FtpSession.h"
#include "download/PartialStore.h"

namespace tyq::download {

// Everything one download of the mailbox works from, settled before it
// starts: nothing is read from the settings while it runs.
struct TransferPlan {
    FtpServer server;
    // The server is the placeholder of a fresh setup: no server to dial or
    // look up.
    bool placeholder = false;
    // The folder the files go to.
    std::string folder;
    // The command's staging folder for temporary files; without one they go
    // beside their final names.
    std::optional<std::string> staging;
    // Where fetches cut short wait to be resumed, as the command opened it;
    // without one, the download opens the folder's own.
    PartialStore* partials = nullptr;
    // How many connections at most, the first included.
    int connections = 1;
    FtpTimeouts timeouts;
    // Where certificates the user trusts, and servers that completed TLS,
    // are remembered.
    std::filesystem::path knownServers;
    // Brings the network up before the first connection (the dial-up
    // service); none leaves it as it is.
    std::function<void()> connect;
    // The program's name as the server sees it.
    std::string agent;
    // Whether a certificate that does not verify is put to the observer;
    // without anyone to answer, it is refused.
    bool askTrust = true;
    // Which listed files to fetch; none: every one.
    std::function<bool(const ZipListing& listing, std::size_t item)> wanted;
};

// A file of the listing that did not arrive, and why, in a few plain words.
struct FailedFile {
    std::string name;
    std::string failure;
    std::size_t item = 0;  // its index in the listing
    bool diskFull() const { return failure == kDiskFullFailure; }
};

// A file that arrived and is in place under its name.
struct ArrivedFile {
    std::string name;
    std::int64_t size = 0;
    std::size_t item = 0;  // its index in the listing
};

// A listed file not fetched because the local file of its name is the
// user's to keep (read-only): reported, not a failure.
struct KeptFile {
    std::string name;
    std::string why;       // "it is read-only"
    std::size_t item = 0;  // its index in the listing
};

// A listed file that did not arrive, of which bytes wait in the partial
// folder for a later run to go on from.
struct PartialKept {
    std::string name;
    std::int64_t bytes = 0;
    std::size_t item = 0;  // its index in the listing
};

enum class TransferEnd {
    Finished,     // logged in: whatever became of the files, the outcome says
    Stopped,      // the stop came first
    NoServer,     // no mailbox server is set up
    NoSession,    // no FTP session could be made
    LoginFailed,  // see the outcome's login
};

struct TransferOutcome {
    TransferEnd end = TransferEnd::NoSession;
    LoginResult login;  // when LoginFailed
    ZipListing listing;
    std::vector<ArrivedFile> arrived;
    std::vector<FailedFile> failed;
    std::vector<KeptFile> kept;
    // Listed files the plan did not want.
    std::size_t skipped = 0;
    // Stopped during the files: the index of the file the stop met, which
    // and every later one did not arrive.
    std::optional<std::size_t> stoppedAt;
    // Why further connections gave up, or empty.
    std::string helperNote;
    // Files the run meant to fetch that did not arrive, but whose bytes wait
    // to be resumed, in the listing's order.
    std::vector<PartialKept> partials;
};

// What a download tells as it goes, and the questions it asks. Each call
// comes on the download's thread, in order.
class TransferObserver {
  public:
    virtual ~TransferObserver() = default;
    // The network is up and the first connection is being made: what comes
    // from here is the run's record.
    virtual void connecting() {}
    // The certificate of host did not verify, or changed since the user
    // trusted the one pinned (pinned then names it): trust it for this
    // server? No refuses it; nothing (no one to ask) leaves the log-in
    // failed as the server's certificate left it.
    virtual std::optional<bool> trust(const std::string& /*host*/,
                                      const Certificate& /*certificate*/,
                                      const std::string& /*pinned*/) {
        return std::nullopt;
    }
    // Something went wrong beside the download, worth a line under its
    // outcome (a record that could not be kept).
    virtual void note(const std::string& /*text*/) {}
    virtual void listed(const ZipListing& /*listing*/) {}
    // Which listed files the run goes on to fetch (not those the plan does
    // not want, nor those kept locally), once, before the first.
    virtual void planned(const std::vector<bool>& /*fetching*/) {}
    // The download of listing.names[item] begins.
    virtual void fileStarted(std::size_t /*item*/) {}
    // ... and goes on from the `from` bytes an earlier run left of it.
    virtual void resuming(std::size_t /*item*/, std::int64_t /*from*/) {}
    // Bytes of the current file so far, and its size (-1 while unknown).
    virtual void bytes(std::int64_t /*done*/, std::int64_t /*total*/) {}
    // listing.names[item] was fetched whole ahead of its turn, on any
    // connection; it is put in place when its turn comes. May come more
    // than once for a file, and after fileArrived.
    virtual void fetchedAhead(std::size_t /*item*/) {}
    // listing.names[item] is in place under its name.
    virtual void fileArrived(std::size_t /*item*/, const ArrivedFile& /*arrived*/) {}
    virtual void fileFailed(std::size_t /*item*/, const FailedFile& /*failed*/) {}
    virtual void finished(const TransferOutcome& /*outcome*/) {}
};

// Downloads every "*.ZIP" of the mailbox into the plan's folder: logs in
// (asking the observer about a certificate that does not verify), lists the
// mailbox once and fetches each file (but one whose local copy the user
// cannot write, which is kept and named in the outcome), over further connections too when the
// plan allows, putting each in place in the listing's order. A stop ends it
// at once; files that arrived whole stay, and what came of a file under way
// waits in the partial folder for a later run to go on from, never under
// its name.
TransferOutcome runTransfer(const TransferPlan& plan, TransferObserver& observer,
                            std::stop_token stop);

}  // namespace tyq::download
