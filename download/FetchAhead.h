#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "download/FetchSchedule.h"
#include "download/FtpSession.h"

namespace tyq::download {

// One connection's fetch of a listed file: whole and checked, waiting in
// the folder for its turn, or why not.
class Fetcher {
  public:
    virtual ~Fetcher() = default;
    // progress hears of the bytes as they arrive (may be empty); it runs on
    // the fetching thread and must not throw.
    virtual FetchResult fetch(std::size_t item, const DownloadProgress& progress) = 0;
};

// The files of a listing, fetched over an FTP session.
class SessionFetcher : public Fetcher {
  public:
    // The listing and folder must outlive this object.
    SessionFetcher(std::unique_ptr<FtpSession> session, const ZipListing& listing,
                   const std::string& folder)
        : session_(std::move(session)), listing_(listing), folder_(folder) {}
    FetchResult fetch(std::size_t item, const DownloadProgress& progress) override;

  private:
    std::unique_ptr<FtpSession> session_;
    const ZipListing& listing_;
    const std::string& folder_;
};

// Fetches the files after the one under way over connections of their own,
// so that a distant server's round trips overlap. The caller still takes
// every file in the listing's order and puts each in place itself: texts,
// log and the folder change exactly as with one connection. A helper never
// makes the run slower than the caller alone: a file the caller needs that
// a slower helper holds is taken over. Who fetches what is FetchSchedule's
// to say; this class runs the helper threads around it.
class FetchAhead {
  public:
    // A further connection, logged in and heeding stop, or why not.
    struct Helper {
        std::unique_ptr<Fetcher> fetcher;
        std::string failure;  // in plain words, when there is none
        // The server turned the connection away (421 or 530): it will not
        // have more of ours.
        bool refused = false;
    };
    // Opens a further connection. Runs on a helper's own thread; helpers log
    // in one after another, and the first that cannot ends the asking.
    using ConnectionMaker = std::function<Helper(std::stop_token stop)>;
    // Starts a thread; a start that fails throws, as std::thread's does.
    using ThreadStart = std::function<std::thread(std::function<void()>)>;

    // helpers: how many further connections to try; requestable: per listed
    // file, whether a helper may fetch it at all.
    FetchAhead(std::size_t helpers, ConnectionMaker maker, std::vector<bool> requestable,
               std::stop_token stop, ThreadStart start = {});
    // Stops the helpers and waits for them; files fetched and never taken
    // are removed.
    ~FetchAhead();
    FetchAhead(const FetchAhead&) = delete;
    FetchAhead& operator=(const FetchAhead&) = delete;

    // Fetches item on the caller's own connection, shown nowhere.
    using OwnFetch = std::function<FetchResult(std::size_t item)>;

    // The caller's turn at item (ascending): the file fetched ahead, waiting
    // in the folder (or why it failed, when the caller's own connection
    // fetched it), or nothing when the caller is to fetch it itself (no one
    // took it, a helper's attempt failed, the helper was too slow, or a stop
    // came). While a helper's fetch of it is under way, progress is called
    // on the caller's thread with its bytes, and the caller's connection
    // fetches a later file through fetchAhead rather than wait.
    std::optional<FetchResult> take(std::size_t item, const DownloadProgress& progress,
                                    const OwnFetch& fetchAhead = {});
    // A whole file the caller fetched itself, for the pace it is measured by.
    void noteOwnTransfer(std::int64_t bytes, std::chrono::steady_clock::duration took);

    // The files fetched whole ahead of their turn since the last call, in
    // the order they were, on any connection.
    std::vector<std::size_t> takeFinished();

    // Why further connections gave up, when one did ("the server allows one
    // connection"); empty otherwise.
    std::string helperNote() const;
    // How many helper threads started.
    std::size_t started() const noexcept { return helpers_.size(); }

  private:
    // A helper thread with a stop of its own, so that one helper can be
    // stopped alone; the whole run's stop reaches it too.
    struct Worker {
        explicit Worker(std::stop_token run) : follow(std::move(run), Forward{stop}) {}
        struct Forward {
            std::stop_source& stop;
            void operator()() const noexcept { stop.request_stop(); }
        };
        std::stop_source stop;
        std::stop_callback<Forward> follow;
        std::thread thread;
    };
    void help(std::size_t index, std::stop_token stop);
    FetchResult fetchOwn(const OwnFetch& fetch, std::size_t item);

    ConnectionMaker maker_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    FetchSchedule schedule_;
    // Each file's result once fetched and before the caller takes it.
    std::vector<FetchResult> results_;
    // Files fetched whole and not yet told of by takeFinished.
    std::vector<std::size_t> finished_;
    std::stop_source stop_;
    std::vector<std::unique_ptr<Worker>> helpers_;
    std::stop_callback<std::function<void()>> forwardStop_;
};

}  // namespace tyq::download
