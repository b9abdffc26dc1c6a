#pragma once

#include <chrono>
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

#include "download/FtpSession.h"

namespace tyq::download {

// How a file a helper has in hand is coming along, as the caller sees it
// while it has nothing else to do.
struct HelperProgress {
    std::int64_t done = 0;
    std::int64_t total = -1;  // -1: not told
    std::chrono::steady_clock::duration elapsed{};
    std::chrono::steady_clock::duration sinceLastByte{};
};

// The caller's own whole transfers so far: bytes and the time they took.
struct OwnSpeed {
    std::int64_t bytes = 0;
    std::chrono::steady_clock::duration took{};
};

// Whether the caller, free and waiting for a file a helper has, should fetch
// it itself: when the helper has stalled, or when the caller at its own pace
// would have the whole file sooner than the helper its rest. Without a rate
// of its own worth the name, the caller waits for the helper.
bool worthTakingOver(const HelperProgress& helper, const OwnSpeed& own);

// Fetches the files after the one under way over connections of their own,
// so that a distant server's round trips overlap. The caller still takes
// every file in the listing's order and puts each in place itself: texts,
// log and the folder change exactly as with one connection. A helper never
// makes the run slower than the caller alone: a file the caller needs that
// a slower helper holds is taken over.
class FetchAhead {
  public:
    // A further session, logged in and heeding stop, or why not.
    struct Helper {
        std::unique_ptr<FtpSession> session;
        std::string failure;  // in plain words, when there is no session
        // The server turned the connection away (421 or 530): it will not
        // have more of ours.
        bool refused = false;
    };
    // Opens a further session. Runs on a helper's own thread; helpers log in
    // one after another, and the first that cannot ends the asking.
    using SessionMaker = std::function<Helper(std::stop_token stop)>;
    // Starts a thread; a start that fails throws, as std::thread's does.
    using ThreadStart = std::function<std::thread(std::function<void()>)>;

    // helpers: how many further connections to try. The listing and folder
    // must outlive this object.
    FetchAhead(std::size_t helpers, SessionMaker maker, const ZipListing& listing,
               const std::string& folder, std::stop_token stop, ThreadStart start = {});
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

    // Why further connections gave up, when one did ("the server allows one
    // connection"); empty otherwise.
    std::string helperNote() const;
    // How many helper threads started.
    std::size_t started() const noexcept { return helpers_.size(); }

  private:
    enum class State { Free, Caller, Helper, Own, Fetched, Failed };
    struct Item {
        State state = State::Free;
        std::size_t helper = 0;  // while Helper: whose
        FetchResult result;
        std::int64_t done = 0;
        std::int64_t total = -1;
        std::chrono::steady_clock::time_point started{};
        std::chrono::steady_clock::time_point lastByte{};
    };
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
    // The first file past the caller's, within the lookahead, that no one
    // took.
    std::optional<std::size_t> freeAfter(std::size_t item) const;
    FetchResult fetchOwn(const OwnFetch& fetch, std::size_t item);

    SessionMaker maker_;
    const ZipListing& listing_;
    const std::string& folder_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::vector<Item> items_;
    std::size_t turn_ = 0;
    // Helpers log in in index order; the first failure ends the asking.
    std::size_t loginTurn_ = 0;
    bool askingEnded_ = false;
    std::size_t loggedIn_ = 0;
    std::string failure_;
    bool refused_ = false;
    OwnSpeed own_;
    std::stop_source stop_;
    std::vector<std::unique_ptr<Worker>> helpers_;
    std::stop_callback<std::function<void()>> forwardStop_;
};

}  // namespace tyq::download
