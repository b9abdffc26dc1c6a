#include "download/FetchAhead.h"

#include <chrono>

namespace tyq::download {
namespace {

// How far past the caller's file helpers may go: each fetched file keeps a
// descriptor and its room on disk until the caller takes it.
constexpr std::size_t kLookahead = 16;
// How often the caller shows a helper's bytes while it waits.
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

}  // namespace

FetchAhead::FetchAhead(std::size_t helpers, SessionMaker maker, const ZipListing& listing,
                       const std::string& folder, std::stop_token stop)
    : listing_(listing),
      folder_(folder),
      items_(listing.names.size()),
      forwardStop_(std::move(stop), [this] { stop_.request_stop(); }) {
    for (std::size_t i = 0; i < helpers; ++i) {
        helpers_.emplace_back([this, maker] { help(maker); });
    }
}

FetchAhead::~FetchAhead() {
    stop_.request_stop();
    for (auto& helper : helpers_) {
        helper.join();
    }
}

void FetchAhead::help(const SessionMaker& maker) {
    const auto stop = stop_.get_token();
    std::unique_ptr<FtpSession> session;
    try {
        session = maker(stop);
    } catch (...) {
        // A connection that cannot be had leaves its share to the others.
    }
    if (!session) {
        return;
    }
    std::unique_lock lock(mutex_);
    while (true) {
        std::size_t item = items_.size();
        changed_.wait(lock, stop, [&] {
            const auto free = freeAfter(turn_);
            item = free.value_or(items_.size());
            return free.has_value();
        });
        if (stop.stop_requested() || item == items_.size()) {
            return;
        }
        items_[item].state = State::Helper;
        lock.unlock();
        session->setProgress([this, item](std::int64_t done, std::int64_t total) {
            const std::lock_guard guard(mutex_);
            items_[item].done = done;
            items_[item].total = total;
        });
        FetchResult fetched;
        try {
            fetched = session->fetch(listing_.names[item], folder_, listing_.sizeAt(item));
        } catch (...) {
            fetched.result = {DownloadStatus::Failed, "out of memory"};
        }
        lock.lock();
        const bool ok = fetched.result.ok();
        items_[item].state = ok ? State::Fetched : State::Failed;
        items_[item].result = std::move(fetched);
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
            FetchResult fetched;
            try {
                fetched = fetchAhead(*later);
            } catch (...) {
                fetched.result = {DownloadStatus::Failed, "out of memory"};
            }
            lock.lock();
            ahead.result = std::move(fetched);
            ahead.state = State::Fetched;
            continue;
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

}  // namespace tyq::download
