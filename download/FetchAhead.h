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

#include "download/FtpSession.h"

namespace tyq::download {

// Fetches the files after the one under way over connections of their own,
// so that a distant server's round trips overlap. The caller still takes
// every file in the listing's order and puts each in place itself: texts,
// log and the folder change exactly as with one connection.
class FetchAhead {
  public:
    // Opens a further session, logged in and heeding stop; nothing when the
    // server will not have it. Runs on a helper's own thread.
    using SessionMaker = std::function<std::unique_ptr<FtpSession>(std::stop_token stop)>;

    // helpers: how many further connections to try. The listing and folder
    // must outlive this object.
    FetchAhead(std::size_t helpers, SessionMaker maker, const ZipListing& listing,
               const std::string& folder, std::stop_token stop);
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
    // took it, or a helper's attempt failed, or a stop came). While a
    // helper's fetch of it is under way, progress is called on the caller's
    // thread with its bytes, and the caller's connection fetches a later file
    // through fetchAhead rather than wait.
    std::optional<FetchResult> take(std::size_t item, const DownloadProgress& progress,
                                    const OwnFetch& fetchAhead = {});

  private:
    enum class State { Free, Caller, Helper, Own, Fetched, Failed };
    struct Item {
        State state = State::Free;
        FetchResult result;
        std::int64_t done = 0;
        std::int64_t total = -1;
    };
    void help(const SessionMaker& maker);
    // The first file from item on, within the lookahead, that no one took.
    std::optional<std::size_t> freeAfter(std::size_t item) const;

    const ZipListing& listing_;
    const std::string& folder_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::vector<Item> items_;
    std::size_t turn_ = 0;
    std::stop_source stop_;
    std::stop_callback<std::function<void()>> forwardStop_;
    std::vector<std::thread> helpers_;
};

}  // namespace tyq::download
