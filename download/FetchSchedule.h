#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Who fetches which file of a listing when helpers fetch ahead of the
// caller, and what each result means. No threads and no clock of its own:
// the thread layer (FetchAhead) calls it under its lock and passes the time
// in, so every decision can be tried from a table.
class FetchSchedule {
  public:
    using Clock = std::chrono::steady_clock;
    // How far past the caller's file helpers may go: each fetched file keeps
    // a descriptor and its room on disk until the caller takes it.
    static constexpr std::size_t kLookahead = 16;

    // requestable: per listed file, whether its name may be requested at all
    // (one that may not is the caller's at once).
    explicit FetchSchedule(std::vector<bool> requestable);

    // Helpers log in one after another, in index order; the first that
    // cannot ends the asking for the run.
    bool mayLogIn(std::size_t helper) const noexcept;
    bool askingEnded() const noexcept { return askingEnded_; }
    void loggedIn() noexcept;
    // stopped: the failure came from a stop, which says nothing of the server.
    void loginFailed(std::string failure, bool refused, bool stopped);
    // Why further connections gave up ("the server allows one connection"),
    // or empty.
    std::string note() const;

    // A logged-in helper's next file: the first one no one took past the
    // caller's, within the lookahead; nothing while there is none.
    std::optional<std::size_t> claimForHelper(std::size_t helper, Clock::time_point now);
    void helperBytes(std::size_t item, std::int64_t done, std::int64_t total,
                     Clock::time_point now);
    // The helper's fetch of item ended. False when its result is not wanted
    // (the caller took the file over) or the helper is to stop (it failed:
    // the caller tries the file again on its own connection).
    bool helperFinished(std::size_t item, std::size_t helper, bool ok);

    // What the caller does at its turn at item (ascending).
    enum class Step {
        Take,         // a fetched file waits for it
        FetchItself,  // no one has it, or a helper failed it
        FetchLater,   // a helper has it under way: fetch `item` meanwhile
        TakeOver,     // the helper `helper` is too slow: stop it, fetch itself
        Wait,         // the helper has it under way and is worth waiting for
    };
    struct Next {
        Step step;
        std::size_t item = 0;    // FetchLater: the file to fetch
        std::size_t helper = 0;  // TakeOver: whose file it was
    };
    // canFetchLater: the caller has a connection free for a later file.
    Next callerTurn(std::size_t item, bool canFetchLater, Clock::time_point now);
    // The caller stops waiting for item (a stop came): the file is its own,
    // and a helper's result for it is not wanted.
    void callerStopped(std::size_t item) noexcept;
    // The caller's own fetch of a later file ended; the file waits for its
    // turn whatever became of it.
    void ownFetched(std::size_t item) noexcept;
    // A helper has item under way.
    bool helperHas(std::size_t item) const { return items_.at(item).state == State::Helper; }
    // The helper's bytes of item so far, for the caller to show.
    std::pair<std::int64_t, std::int64_t> bytesOf(std::size_t item) const;
    // A whole file the caller fetched itself, for the pace it is measured by.
    void noteOwnTransfer(std::int64_t bytes, Clock::duration took) noexcept;

  private:
    enum class State { Free, Caller, Helper, Own, Fetched, Failed };
    struct Item {
        State state = State::Free;
        std::size_t helper = 0;  // while Helper: whose
        std::int64_t done = 0;
        std::int64_t total = -1;
        Clock::time_point started{};
        Clock::time_point lastByte{};
    };
    std::optional<std::size_t> freeAfter(std::size_t item) const;

    std::vector<bool> requestable_;
    std::vector<Item> items_;
    std::size_t turn_ = 0;
    std::size_t loginTurn_ = 0;
    bool askingEnded_ = false;
    std::size_t loggedIn_ = 0;
    std::string failure_;
    bool refused_ = false;
    OwnSpeed own_;
};

}  // namespace tyq::download
