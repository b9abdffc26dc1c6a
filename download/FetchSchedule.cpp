#include "download/FetchSchedule.h"

#include <algorithm>

namespace tyq::download {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// A helper that has had no byte for this long has stalled.
constexpr auto kStalled = std::chrono::seconds(3);
// A helper's pace is judged after this at the latest.
constexpr auto kJudgeAfter = std::chrono::seconds(1);
// Less than this of the caller's own is no pace to go by.
constexpr std::int64_t kOwnBytesToJudge = 64 * 1024;

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

FetchSchedule::FetchSchedule(std::vector<bool> requestable)
    : requestable_(std::move(requestable)), items_(requestable_.size()) {}

bool FetchSchedule::mayLogIn(std::size_t helper) const noexcept {
    return !askingEnded_ && loginTurn_ == helper;
}

void FetchSchedule::loggedIn() noexcept {
    ++loggedIn_;
    ++loginTurn_;
}

void FetchSchedule::loginFailed(std::string failure, bool refused, bool stopped) {
    // One refusal is enough: a server that counts them must not be pressed
    // until it locks the subscriber out.
    askingEnded_ = true;
    if (!stopped && failure_.empty()) {
        failure_ = failure.empty() ? "could not log in" : std::move(failure);
        refused_ = refused;
    }
}

std::string FetchSchedule::note() const {
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

std::optional<std::size_t> FetchSchedule::freeAfter(std::size_t item) const {
    const auto end = std::min(items_.size(), turn_ + kLookahead);
    for (std::size_t i = item; i < end; ++i) {
        if (items_[i].state == State::Free && requestable_[i]) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> FetchSchedule::claimForHelper(std::size_t helper,
                                                         Clock::time_point now) {
    const auto item = freeAfter(turn_ + 1);
    if (item) {
        auto& mine = items_[*item];
        mine.state = State::Helper;
        mine.helper = helper;
        mine.started = mine.lastByte = now;
    }
    return item;
}

void FetchSchedule::helperBytes(std::size_t item, std::int64_t done, std::int64_t total,
                                Clock::time_point now) {
    auto& mine = items_.at(item);
    if (done != mine.done) {
        mine.lastByte = now;
    }
    mine.done = done;
    mine.total = total;
}

bool FetchSchedule::helperFinished(std::size_t item, std::size_t helper, bool ok) {
    auto& mine = items_.at(item);
    if (mine.state != State::Helper || mine.helper != helper) {
        return false;
    }
    mine.state = ok ? State::Fetched : State::Failed;
    return ok;
}

FetchSchedule::Next FetchSchedule::callerTurn(std::size_t item, bool canFetchLater,
                                              Clock::time_point now) {
    turn_ = item;
    auto& current = items_.at(item);
    if (current.state == State::Helper) {
        // Rather than wait, the caller's own connection fetches a later file.
        if (const auto later = canFetchLater ? freeAfter(item + 1) : std::nullopt) {
            items_[*later].state = State::Own;
            return {Step::FetchLater, *later};
        }
        if (!worthTakingOver(
                {current.done, current.total, now - current.started, now - current.lastByte},
                own_)) {
            return {Step::Wait};
        }
        current.state = State::Caller;
        return {Step::TakeOver, item, current.helper};
    }
    const bool fetched = current.state == State::Fetched;
    current.state = State::Caller;
    return {fetched ? Step::Take : Step::FetchItself, item};
}

void FetchSchedule::callerStopped(std::size_t item) noexcept {
    items_[item].state = State::Caller;
}

void FetchSchedule::ownFetched(std::size_t item) noexcept {
    items_[item].state = State::Fetched;
}

std::pair<std::int64_t, std::int64_t> FetchSchedule::bytesOf(std::size_t item) const {
    const auto& it = items_.at(item);
    return {it.done, it.total};
}

void FetchSchedule::noteOwnTransfer(std::int64_t bytes, Clock::duration took) noexcept {
    own_.bytes += bytes;
    own_.took += took;
}

}  // namespace tyq::download
