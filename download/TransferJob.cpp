#include "download/TransferJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <tuple>

#include "common/Log.h"
#include "common/ShownText.h"
#include "download/FetchAhead.h"
#include "download/KnownServers.h"
#include "download/PartialStore.h"

namespace tyq::download {
namespace {

// The host of a "host:port" key, as a user would type it.
std::string hostOf(const std::string& key) {
    auto host = key.substr(0, key.rfind(':'));
    if (host.size() > 1 && host.front() == '[') {
        host = host.substr(1, host.size() - 2);
    }
    return host;
}

// Why the local file of this name is not to be replaced, or nothing: a
// regular file the user cannot write (mode 444, or another's) is theirs to
// keep. A link or a folder in the way is dealt with as before.
std::optional<std::string> keptLocally(const std::string& folder, const std::string& name) {
    struct stat info {};
    const auto path = folder + "/" + name;
    if (!isPlainFileName(name) || ::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    // The owner's write bit decides for the owner, even one who may write
    // anything.
    const bool writable =
        info.st_uid == ::geteuid()
            ? (info.st_mode & S_IWUSR) != 0
            : ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 || errno != EACCES;
    if (writable) {
        return std::nullopt;
    }
    log::record(log::Category::Transfer,
                [&] { return shownText(name, 200) + ": kept, it is read-only"; });
    return std::string("it is read-only");
}

// The same for each listed file that is wanted.
template <typename Wanted>
std::vector<std::optional<std::string>> keptLocally(const std::string& folder,
                                                    const ZipListing& listing,
                                                    const Wanted& wanted) {
    std::vector<std::optional<std::string>> keep(listing.names.size());
    for (std::size_t item = 0; item < keep.size(); ++item) {
        if (wanted(item)) {
            keep[item] = keptLocally(folder, listing.names[item]);
        }
    }
    return keep;
}

// Logs in, asking about a certificate that does not verify; `known` learns
// what the user trusts.
// unreadable: the record could not be used, so nothing is added to it.
LoginResult logIn(FtpSession& session, FtpServer& server, KnownServers& known,
                  TransferObserver& observer, bool askTrust, const std::stop_token& stop,
                  bool& unreadable) {
    const std::string key = FtpSession::serverKey(server);
    const auto knownFailure = known.load();
    unreadable = knownFailure.has_value();
    if (knownFailure && server.encryption != Encryption::Plain) {
        LoginResult login{LoginStatus::FailedWithDescription, *knownFailure};
        login.encryption = true;
        return login;
    }
    server.pinned = key.empty() ? std::string() : known.fingerprint(key).value_or("");
    server.usedTls = !key.empty() && known.usedTls(key);
    auto login = session.login(server);
    // Nothing was sent over the connection of a certificate that did not
    // verify; only the user's yes lets a new connection log in with it.
    if (!login.untrusted || stop.stop_requested()) {
        return login;
    }
    const auto certificate = *login.untrusted;
    const auto host = hostOf(key);
    const auto trusted =
        askTrust ? observer.trust(host, certificate, server.pinned) : std::optional<bool>(false);
    if (!trusted) {
        return login;
    }
    if (!*trusted) {
        login.description = certificate.changed ? "The certificate of " + host + " has changed"
                                                : "You did not trust the certificate of " + host;
        return login;
    }
    if (stop.stop_requested()) {
        return login;
    }
    if (auto failure = known.remember(key, certificate.fingerprint)) {
        return {LoginStatus::FailedWithDescription,
                "Cannot save the trusted certificate to " + *failure};
    }
    server.pinned = certificate.fingerprint;
    return session.login(server);
}

// A further connection for fetching ahead, logged in as the first one is.
FetchAhead::Helper openHelper(const TransferPlan& plan, const FtpServer& server, bool passive,
                              const ZipListing& listing, PartialStore* partials,
                              std::stop_token stop) {
    FetchAhead::Helper helper;
    auto session = FtpSession::open(plan.agent, plan.timeouts);
    if (!session) {
        helper.failure = "no session could be created";
        return helper;
    }
    session->setStopToken(std::move(stop));
    if (plan.staging) {
        session->setStagingFolder(*plan.staging);
    }
    session->setPartialStore(partials);
    if (passive) {
        session->usePassive();
    }
    const auto login = session->login(server);
    if (login.status != LoginStatus::LoggedIn) {
        const int reply = session->lastReply();
        helper.refused = reply == 421 || reply == 530;
        helper.failure = login.description;
        return helper;
    }
    helper.fetcher = std::make_unique<SessionFetcher>(std::move(session), listing, plan.folder);
    return helper;
}

// Puts listed file `item` in place: the file fetched ahead, or why it
// failed, or, with nothing fetched, a download of the caller's own. `size`:
// the bytes in place.
DownloadResult putInPlace(const TransferPlan& plan, FtpSession& session, const ZipListing& listing,
                          std::size_t item, std::optional<FetchResult>& fetched, FetchAhead& ahead,
                          std::int64_t& size) {
    const auto& name = listing.names[item];
    if (fetched && fetched->result.ok()) {
        size = fetched->file.size();
        return fetched->file.commit(plan.folder + "/" + name);
    }
    if (fetched) {
        return std::move(fetched->result);
    }
    const auto started = std::chrono::steady_clock::now();
    auto result =
        session.download(name, plan.folder, listing.sizeAt(item), listing.modifiedAt(item));
    if (result) {
        std::error_code error;
        const auto bytes = std::filesystem::file_size(plan.folder + "/" + name, error);
        size = error ? 0 : static_cast<std::int64_t>(bytes);
        ahead.noteOwnTransfer(size, std::chrono::steady_clock::now() - started);
    }
    return result;
}

// Tells the observer that listed file `item` goes on from a partial, if it does.
void tellResuming(PartialStore* partials, const ZipListing& listing, std::size_t item,
                  TransferObserver& observer) {
    if (partials != nullptr) {
        if (const auto from = partials->held(listedFile(listing, item)); from > 0) {
            observer.resuming(item, from);
        }
    }
}

// Puts listed file `item` in place (see putInPlace) and adds what became of
// it to the outcome. False when a stop ended it.
bool settle(const TransferPlan& plan, FtpSession& session, std::size_t item,
            std::optional<FetchResult>& fetched, FetchAhead& ahead, PartialStore* partials,
            TransferOutcome& outcome, TransferObserver& observer) {
    const auto& name = outcome.listing.names[item];
    std::int64_t size = 0;
    // The caller's own download tells its bytes as they come; a file
    // fetched ahead is whole, whatever becomes of it.
    if (fetched && fetched->result.ok()) {
        observer.bytes(fetched->file.size(), fetched->file.size());
    }
    auto result = putInPlace(plan, session, outcome.listing, item, fetched, ahead, size);
    if (result) {
        if (partials != nullptr) {
            partials->arrived(name);
        }
        outcome.arrived.push_back({name, size, item});
        observer.fileArrived(item, outcome.arrived.back());
    } else if (result.status == DownloadStatus::Stopped || session.stopped()) {
        return false;
    } else {
        outcome.failed.push_back({name, std::move(result.failure), item});
        observer.fileFailed(item, outcome.failed.back());
    }
    return true;
}

// Which listed files the run fetches: wanted, and not the user's to keep
// (`keep` says why those are kept).
std::vector<bool> fetchingOf(const TransferPlan& plan, const ZipListing& listing,
                             std::vector<std::optional<std::string>>& keep) {
    const auto wanted = [&](std::size_t item) {
        return !plan.wanted || plan.wanted(listing, item);
    };
    keep = keptLocally(plan.folder, listing, wanted);
    std::vector<bool> fetching;
    for (std::size_t item = 0; item < listing.names.size(); ++item) {
        fetching.push_back(wanted(item) && !keep[item]);
    }
    return fetching;
}

// Fetches every listed file in order, over further connections too, and
// returns which ones it meant to fetch.
std::vector<bool> fetchAll(const TransferPlan& plan, FtpSession& session, const FtpServer& server,
                           PartialStore* partials, TransferOutcome& outcome,
                           TransferObserver& observer, const std::stop_token& stop) {
    const auto& listing = outcome.listing;
    const auto& names = listing.names;
    // A server that spoke TLS to the first connection must speak it to the
    // others: one that seems not to offer it there is not given the password.
    FtpServer helperServer = server;
    helperServer.encryption = session.encrypted() ? Encryption::Required : server.encryption;
    std::vector<std::optional<std::string>> keep;
    const auto fetching = fetchingOf(plan, listing, keep);
    std::vector<bool> requestable;
    for (std::size_t item = 0; item < names.size(); ++item) {
        requestable.push_back(isPlainFileName(names[item]) && fetching[item]);
    }
    observer.planned(fetching);
    // No more connections than files to fetch after the first.
    const auto toFetch = static_cast<std::size_t>(std::ranges::count(requestable, true));
    const auto connections = static_cast<std::size_t>(std::max(plan.connections, 1));
    const auto helpers = toFetch < 2 ? 0 : std::min(toFetch - 1, connections - 1);
    FetchAhead ahead(
        helpers,
        [&, passive = session.passive()](std::stop_token helperStop) {
            return openHelper(plan, helperServer, passive, listing, partials,
                              std::move(helperStop));
        },
        std::move(requestable), stop);
    // Files count as they finish on any connection, told whenever bytes are.
    const auto tellFetched = [&] {
        for (const auto item : ahead.takeFinished()) {
            observer.fetchedAhead(item);
        }
    };
    const DownloadProgress showBytes = [&](std::int64_t done, std::int64_t total) {
        tellFetched();
        observer.bytes(done, total);
    };
    session.setProgress(showBytes);
    const auto fetchLater = [&](std::size_t later) {
        // Not the file shown: its bytes are not shown either.
        session.setProgress(nullptr);
        auto early = session.fetch(names[later], plan.folder, listing.sizeAt(later),
                                   listing.modifiedAt(later));
        session.setProgress(showBytes);
        return early;
    };
    for (std::size_t item = 0; item < names.size(); ++item) {
        const auto& name = names[item];
        if (stop.stop_requested()) {
            outcome.stoppedAt = item;
            break;
        }
        if (!fetching[item]) {
            if (keep[item]) {
                outcome.kept.push_back({name, std::move(*keep[item]), item});
            } else {
                ++outcome.skipped;
            }
            continue;
        }
        observer.fileStarted(item);
        tellResuming(partials, listing, item, observer);
        auto fetched = ahead.take(item, showBytes, fetchLater);
        tellFetched();
        // A file a helper fetched is not put in place once the user chose to
        // stop, however far it got.
        if (stop.stop_requested()) {
            outcome.stoppedAt = item;
            break;
        }
        if (!settle(plan, session, item, fetched, ahead, partials, outcome, observer)) {
            outcome.stoppedAt = item;
            break;
        }
    }
    outcome.helperNote = ahead.helperNote();
    if (outcome.stoppedAt) {
        outcome.end = TransferEnd::Stopped;
    }
    return fetching;
}

// What waits in the partial folder of the files the run meant to fetch and
// did not get, once every connection has let go of them.
std::vector<PartialKept> keptPartials(PartialStore& partials, const TransferOutcome& outcome,
                                      const std::vector<bool>& fetching) {
    std::vector<bool> arrived(fetching.size(), false);
    for (const auto& file : outcome.arrived) {
        arrived.at(file.item) = true;
    }
    std::vector<PartialKept> kept;
    for (std::size_t item = 0; item < fetching.size(); ++item) {
        if (fetching[item] && !arrived[item]) {
            if (const auto bytes = partials.held(listedFile(outcome.listing, item)); bytes > 0) {
                kept.push_back({outcome.listing.names[item], bytes, item});
            }
        }
    }
    return kept;
}

// Lists the mailbox of a logged-in session, keeping what the server showed
// of itself: that it speaks TLS, and for a collection whether it answers MLSD.
void listMailbox(const TransferPlan& plan, FtpSession& session, const FtpServer& server,
                 KnownServers& known, bool knownUnreadable, TransferObserver& observer,
                 TransferOutcome& outcome) {
    // From now on this server is not logged in to without TLS, whatever
    // made its certificate trusted.
    const std::string key = FtpSession::serverKey(server);
    if (session.encrypted() && !key.empty() && !knownUnreadable) {
        if (auto failure = known.rememberTls(key)) {
            observer.note("Cannot remember that " + hostOf(key) + " uses TLS: " + *failure);
        }
    }
    // A collection spares a server that refused MLSD before the asking.
    const bool remember = plan.wanted && !key.empty() && !knownUnreadable;
    if (remember && known.refusesMlsd(key)) {
        session.assumeNoMlsd();
    }
    // One listing serves the count and the downloads, so the log's count is
    // the number of files the run then tries.
    outcome.listing = session.listZipFiles(static_cast<bool>(plan.wanted));
    if (remember && outcome.listing.listed) {
        if (auto failure = known.rememberMlsd(key, session.noMlsd())) {
            log::record(log::Category::Ftp,
                        [&] { return "cannot remember whether MLSD works: " + *failure; });
        }
    }
}

}  // namespace

TransferOutcome runTransfer(const TransferPlan& plan, TransferObserver& observer,
                            std::stop_token stop) {
    TransferOutcome outcome;
    const auto end = [&](TransferEnd how) {
        outcome.end = how;
        observer.finished(outcome);
        return outcome;
    };
    if (!stop.stop_requested() && !plan.placeholder && plan.connect) {
        plan.connect();
    }
    auto session = stop.stop_requested() || plan.placeholder
                       ? nullptr
                       : FtpSession::open(plan.agent, plan.timeouts);
    observer.connecting();
    if (stop.stop_requested()) {
        return end(TransferEnd::Stopped);
    }
    if (plan.placeholder) {
        return end(TransferEnd::NoServer);
    }
    if (!session) {
        return end(TransferEnd::NoSession);
    }
    session->setStopToken(stop);
    if (plan.staging) {
        session->setStagingFolder(*plan.staging);
    }
    FtpServer server = plan.server;
    KnownServers known(plan.knownServers);
    bool knownUnreadable = false;
    outcome.login = logIn(*session, server, known, observer, plan.askTrust, stop, knownUnreadable);
    if (stop.stop_requested()) {
        session.reset();
        return end(TransferEnd::Stopped);
    }
    if (outcome.login.status != LoginStatus::LoggedIn) {
        session.reset();
        return end(TransferEnd::LoginFailed);
    }
    listMailbox(plan, *session, server, known, knownUnreadable, observer, outcome);
    if (session->stopped()) {
        session.reset();
        return end(TransferEnd::Stopped);
    }
    // What is wanted may hang on sizes and times a short listing does not
    // tell: the server is asked for each file's.
    if (plan.wanted && outcome.listing.listed) {
        session->describe(outcome.listing);
    }
    if (stop.stop_requested()) {
        session.reset();
        return end(TransferEnd::Stopped);
    }
    observer.listed(outcome.listing);
    outcome.end = TransferEnd::Finished;
    // Fetches cut short by an earlier run go on from where they ended; what
    // the mailbox no longer holds as it was goes.
    const auto own = plan.partials != nullptr ? nullptr : PartialStore::open(plan.folder);
    PartialStore* partials = plan.partials != nullptr ? plan.partials : own.get();
    const bool resumable = partials != nullptr && outcome.listing.listed;
    if (resumable) {
        partials->prune(outcome.listing);
        session->setPartialStore(partials);
    }
    const auto fetching =
        fetchAll(plan, *session, server, resumable ? partials : nullptr, outcome, observer, stop);
    session.reset();
    if (resumable) {
        outcome.partials = keptPartials(*partials, outcome, fetching);
    }
    observer.finished(outcome);
    return outcome;
}

}  // namespace tyq::download
