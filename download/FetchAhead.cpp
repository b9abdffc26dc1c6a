#include "download/FetchAhead.h"

#include <algorithm>

namespace tyq::download {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// How far past the caller's file helpers may go: each fetched file keeps a
// descriptor and its room on disk until the caller takes it.
constexpr std::size_t kLookahead = 16;
// How often the caller shows a helper's bytes, and weighs taking its file
// over, while it waits.
constexpr auto kProgressEvery = std::chrono::milliseconds(100);
// A helper that has had no byte for this long has stalled.
constexpr auto kStalled = std::chrono::seconds(3);
// A helper's pace is judged after this at the latest.
constexpr auto kJudgeAfter = std::chrono::seconds(1);
// Less than this of the caller's own is no pace to go by.
constexpr std::int64_t kOwnBytesToJudge = 64 * 1024;

FetchResult failedFetch(const char* why) {
    FetchResult failed;
    failed.result = {DownloadStatus::Failed, why};
    return failed;
}

}  // namespace

bool worthTakingOver(const HelperProgress& helper, const OwnSpeed& own) {
    if (helper.sinceLastByte >= kStalled) {
        return true;
    }
    if (own.bytes < kOwnBytesToJudge || own.took <= Clock::duration::zero()) {
        return false;
    }
    // The caller's pace over its own whole files, their round trips included.
    const double ownRate = static_cast<double>(own.bytes) / Seconds(own.took).count();
    const double elapsed = Seconds(helper.elapsed).count();
    if (helper.total < 0) {
        // No end in sight: only a helper far slower than the caller is worth
        // giving up on.
        const double helperRate =
            static_cast<double>(std::max<std::int64_t>(helper.done, 0)) / std::max(elapsed, 1e-9);
        return elapsed >= Seconds(kJudgeAfter).count() && helperRate * 4 < ownRate;
    }
    const double ownWhole = static_cast<double>(helper.total) / ownRate;
    // Judged once the helper has had twice what the caller would need for
    // the whole file, or a second, whichever is sooner.
    if (elapsed < std::min(Seconds(kJudgeAfter).count(), 2 * ownWhole)) {
        return false;
    }
    if (helper.done <= 0) {
        return true;
    }
    const double helperRate = static_cast<double>(helper.done) / elapsed;
    const auto left = static_cast<double>(std::max<std::int64_t>(helper.total - helper.done, 0));
    return left / helperRate > ownWhole;
}

FetchAhead::FetchAhead(std::size_t helpers, SessionMaker maker, const ZipListing& listing,
                       const std::string& folder, std::stop_token stop, ThreadStart start)
    : maker_(std::move(maker)),
      listing_(listing),
      folder_(folder),
      items_(listing.names.size()),
      forwardStop_(std::move(stop), [this] { stop_.request_stop(); }) {
    if (!start) {
        start = [](std::function<void()> work) { return std::thread(std::move(work)); };
    }
    // A thread that cannot start leaves the run with fewer helpers; the
    // later ones would only wait for its log-in.
    helpers_.reserve(helpers);
    for (std::size_t i = 0; i < helpers; ++i) {
        try {
            auto worker = std::make_unique<Worker>(stop_.get_token());
            worker->thread = start([this, i, stop = worker->stop.get_token()] { help(i, stop); });
            helpers_.push_back(std::move(worker));
        } catch (...) {
            break;
        }
    }
}

FetchAhead::~FetchAhead() {
    stop_.request_stop();
    for (auto& helper : helpers_) {
        if (helper->thread.joinable()) {
            helper->thread.join();
        }
    }
}

void FetchAhead::help(std::size_t index, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, stop, [&] { return askingEnded_ || loginTurn_ == index; });
    if (stop.stop_requested() || askingEnded_) {
        return;
    }
    lock.unlock();
    Helper helper;
    try {
        helper = maker_(stop);
    } catch (...) {
        helper.failure = "could not be set up";
    }
    lock.lock();
    if (!helper.session) {
        // One refusal is enough: a server that counts them must not be
        // pressed until it locks the subscriber out.
        askingEnded_ = true;
        if (!stop.stop_requested() && failure_.empty()) {
            failure_ = helper.failure.empty() ? "could not log in" : helper.failure;
            refused_ = helper.refused;
        }
        changed_.notify_all();
        return;
    }
    ++loggedIn_;
    ++loginTurn_;
    changed_.notify_all();
    auto& session = *helper.session;
    while (true) {
        std::size_t item = items_.size();
        changed_.wait(lock, stop, [&] {
            const auto free = freeAfter(turn_ + 1);
            item = free.value_or(items_.size());
            return free.has_value();
        });
        if (stop.stop_requested() || item == items_.size()) {
            return;
        }
        Item& mine = items_[item];
        mine.state = State::Helper;
        mine.helper = index;
        mine.started = mine.lastByte = Clock::now();
        lock.unlock();
        session.setProgress([this, &mine](std::int64_t done, std::int64_t total) {
            const std::lock_guard guard(mutex_);
            if (done != mine.done) {
                mine.lastByte = Clock::now();
            }
            mine.done = done;
            mine.total = total;
        });
        FetchResult fetched;
        try {
            fetched = session.fetch(listing_.names[item], folder_, listing_.sizeAt(item));
        } catch (...) {
            fetched = failedFetch("out of memory");
        }
        lock.lock();
        // Taken over by the caller: this helper was stopped for it.
        if (mine.state != State::Helper || mine.helper != index) {
            return;
        }
        const bool ok = fetched.result.ok();
        mine.state = ok ? State::Fetched : State::Failed;
        mine.result = std::move(fetched);
        changed_.notify_all();
        // A connection that failed once gives way: the caller tries the file
        // again on its own, as it would have without helpers.
        if (!ok) {
            return;
        }
    }
}

std::optional<std::size_t> FetchAhead::freeAfter(std::size_t item) const {
    const auto end = std::min(items_.size(), turn_ + kLookahead);
    for (std::size_t i = item; i < end; ++i) {
        // A name never requested is the caller's at once.
        if (items_[i].state == State::Free && isPlainFileName(listing_.names[i])) {
            return i;
        }
    }
    return std::nullopt;
}

FetchResult FetchAhead::fetchOwn(const OwnFetch& fetch, std::size_t item) {
    const auto started = Clock::now();
    FetchResult fetched;
    try {
        fetched = fetch(item);
    } catch (...) {
        fetched = failedFetch("out of memory");
    }
    if (fetched.result.ok()) {
        noteOwnTransfer(fetched.file.size(), Clock::now() - started);
    }
    return fetched;
}

std::optional<FetchResult> FetchAhead::take(std::size_t item, const DownloadProgress& progress,
                                            const OwnFetch& fetchAhead) {
    const auto stop = stop_.get_token();
    std::unique_lock lock(mutex_);
    turn_ = item;
    changed_.notify_all();
    Item& current = items_.at(item);
    while (current.state == State::Helper && !stop.stop_requested()) {
        // Rather than wait, the caller's own connection fetches a later file.
        if (const auto later = fetchAhead ? freeAfter(item + 1) : std::nullopt) {
            Item& ahead = items_[*later];
            ahead.state = State::Own;
            lock.unlock();
            auto fetched = fetchOwn(fetchAhead, *later);
            lock.lock();
            ahead.result = std::move(fetched);
            ahead.state = State::Fetched;
            continue;
        }
        const auto now = Clock::now();
        if (worthTakingOver(
                {current.done, current.total, now - current.started, now - current.lastByte},
                own_)) {
            // The helper is stopped and drops what it has; the caller fetches
            // the file on its own connection.
            helpers_[current.helper]->stop.request_stop();
            break;
        }
        const auto done = current.done;
        const auto total = current.total;
        lock.unlock();
        if (progress && (done > 0 || total >= 0)) {
            progress(done, total);
        }
        lock.lock();
        changed_.wait_for(lock, stop, kProgressEvery,
                          [&] { return current.state != State::Helper; });
    }
    const bool fetched = current.state == State::Fetched;
    current.state = State::Caller;
    if (fetched) {
        return std::move(current.result);
    }
    return std::nullopt;
}

void FetchAhead::noteOwnTransfer(std::int64_t bytes, Clock::duration took) {
    const std::lock_guard guard(mutex_);
    own_.bytes += bytes;
    own_.took += took;
}

std::string FetchAhead::helperNote() const {
    const std::lock_guard guard(mutex_);
    if (failure_.empty()) {
        return {};
    }
    if (refused_) {
        const auto allowed = loggedIn_ + 1;
        return "the server allows " + (allowed == 1 ? std::string("one connection")
                                                    : std::to_string(allowed) + " connections");
    }
    return "a further connection failed: " + failure_;
}

}  // namespace tyq::download
