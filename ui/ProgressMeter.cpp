#include "ui/ProgressMeter.h"

#include <algorithm>

namespace tyq::ui {

void ProgressMeter::start(Clock::time_point now) {
    last_ = MeterReading{};
    lastByte_ = now;
    samples_.clear();
}

void ProgressMeter::report(const ByteProgress& progress, Clock::time_point now) {
    const std::int64_t done = std::max(last_.done, progress.allDone);
    if (done > last_.done || !last_.reported) {
        // Bytes after a stall: the rate starts afresh rather than averaging
        // the stall in.
        if (now - lastByte_ >= kStallAfter) {
            samples_.clear();
        }
        lastByte_ = now;
    }
    last_.reported = true;
    last_.done = done;
    last_.total = progress.allTotal;
    last_.itemNumber = progress.itemNumber;
    last_.itemCount = progress.itemCount;

    double fraction = 0;
    if (progress.allTotal >= 0) {
        // A run of empty files is done as soon as it starts.
        const std::int64_t total = std::max<std::int64_t>(progress.allTotal, 1);
        fraction =
            progress.allTotal > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
        last_.percent = progress.allTotal > 0
                            ? static_cast<int>(std::min<std::int64_t>(100, done * 100 / total))
                            : 100;
    } else {
        last_.percent = -1;
        if (progress.itemCount > 0) {
            // Sizes not known for the whole run: the items done, and how far
            // the current one is.
            const double within = progress.itemTotal > 0
                                      ? static_cast<double>(progress.itemDone) /
                                            static_cast<double>(progress.itemTotal)
                                      : (progress.itemTotal == 0 ? 1.0 : 0.0);
            fraction =
                (std::max(0, progress.itemNumber - 1) + std::min(1.0, within)) / progress.itemCount;
        }
    }
    const int fill = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * kFillRange + 0.5);
    last_.fill = std::max(last_.fill, fill);

    samples_.emplace_back(now, done);
    // Keep one sample at or before the window's start, so the rate spans it.
    while (samples_.size() > 1 && now - samples_[1].first >= kRateWindow) {
        samples_.pop_front();
    }
}

MeterReading ProgressMeter::reading(Clock::time_point now) const {
    MeterReading shown = last_;
    if (!shown.reported) {
        return shown;
    }
    shown.waiting = now - lastByte_ >= kStallAfter;
    if (shown.waiting || samples_.empty()) {
        return shown;
    }
    // Measured up to now, not to the last count: a slowing transfer shows
    // as slower between counts too.
    const auto& [since, doneThen] = samples_.front();
    const double span = std::chrono::duration<double>(now - since).count();
    if (span < 1.0 || shown.done <= doneThen) {
        return shown;
    }
    shown.rate = static_cast<double>(shown.done - doneThen) / span;
    if (shown.total > shown.done) {
        shown.secondsLeft = static_cast<double>(shown.total - shown.done) / shown.rate;
    }
    return shown;
}

}  // namespace tyq::ui
