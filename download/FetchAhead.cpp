#include "download/FetchAhead.h"

#include <utility>

namespace tyq::download {
namespace {

using Clock = std::chrono::steady_clock;

// How often the caller shows a helper's bytes, and weighs taking its file
// over, while it waits.
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

FetchResult failedFetch(const char* why) {
    FetchResult failed;
    failed.result = {DownloadStatus::Failed, why};
    return failed;
}

}  // namespace

FetchResult SessionFetcher::fetch(std::size_t item, const DownloadProgress& progress) {
    session_->setProgress(progress);
    auto fetched = session_->fetch(listing_.names.at(item), folder_, listing_.sizeAt(item),
                                   listing_.modifiedAt(item));
    session_->setProgress(nullptr);
    return fetched;
}

FetchAhead::FetchAhead(std::size_t helpers, ConnectionMaker maker, std::vector<bool> requestable,
                       std::stop_token stop, ThreadStart start)
    : maker_(std::move(maker)),
      schedule_(requestable),
      results_(requestable.size()),
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
    changed_.wait(lock, stop, [&] { return schedule_.askingEnded() || schedule_.mayLogIn(index); });
    if (stop.stop_requested() || schedule_.askingEnded()) {
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
    if (!helper.fetcher) {
        schedule_.loginFailed(helper.failure, helper.refused, stop.stop_requested());
        changed_.notify_all();
        return;
    }
    schedule_.loggedIn();
    changed_.notify_all();
    while (true) {
        std::optional<std::size_t> claimed;
        changed_.wait(lock, stop, [&] {
            claimed = schedule_.claimForHelper(index, Clock::now());
            return claimed.has_value();
        });
        if (stop.stop_requested() || !claimed) {
            // A file claimed just as the stop came is the caller's again.
            if (claimed) {
                schedule_.helperFinished(*claimed, index, false);
                changed_.notify_all();
            }
            return;
        }
        const auto item = *claimed;
        lock.unlock();
        FetchResult fetched;
        try {
            fetched =
                helper.fetcher->fetch(item, [this, item](std::int64_t done, std::int64_t total) {
                    const std::lock_guard guard(mutex_);
                    schedule_.helperBytes(item, done, total, Clock::now());
                });
        } catch (...) {
            fetched = failedFetch("out of memory");
        }
        lock.lock();
        const bool ok = fetched.result.ok();
        const bool wanted = schedule_.helperFinished(item, index, ok);
        // A result the caller no longer waits for goes with `fetched`; a
        // failed file is the caller's to try again.
        if (wanted) {
            if (ok) {
                finished_.push_back(item);
            }
            results_[item] = std::move(fetched);
        }
        changed_.notify_all();
        if (!wanted) {
            return;
        }
    }
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
    while (!stop.stop_requested()) {
        const auto next = schedule_.callerTurn(item, static_cast<bool>(fetchAhead), Clock::now());
        changed_.notify_all();
        using Step = FetchSchedule::Step;
        switch (next.step) {
            case Step::Take:
                return std::move(results_[item]);
            case Step::FetchItself:
                return std::nullopt;
            case Step::TakeOver:
                // The helper is stopped and drops what it has; the caller fetches
                // the file on its own connection.
                helpers_.at(next.helper)->stop.request_stop();
                return std::nullopt;
            case Step::FetchLater: {
                lock.unlock();
                auto fetched = fetchOwn(fetchAhead, next.item);
                lock.lock();
                if (fetched.result.ok()) {
                    finished_.push_back(next.item);
                }
                results_[next.item] = std::move(fetched);
                schedule_.ownFetched(next.item);
                continue;
            }
            case Step::Wait:
                break;
        }
        const auto [done, total] = schedule_.bytesOf(item);
        lock.unlock();
        if (progress && (done > 0 || total >= 0)) {
            progress(done, total);
        }
        lock.lock();
        changed_.wait_for(lock, stop, kProgressEvery, [&] { return !schedule_.helperHas(item); });
    }
    schedule_.callerStopped(item);
    changed_.notify_all();
    return std::nullopt;
}

void FetchAhead::noteOwnTransfer(std::int64_t bytes, Clock::duration took) {
    const std::lock_guard guard(mutex_);
    schedule_.noteOwnTransfer(bytes, took);
}

std::vector<std::size_t> FetchAhead::takeFinished() {
    const std::lock_guard guard(mutex_);
    return std::exchange(finished_, {});
}

std::string FetchAhead::helperNote() const {
    const std::lock_guard guard(mutex_);
    return schedule_.note();
}

}  // namespace tyq::download
