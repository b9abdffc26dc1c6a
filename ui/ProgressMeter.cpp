#include "ui/ProgressMeter.h"

#include <algorithm>
#include <cmath>

namespace tyq::ui {

namespace {

double seconds(ProgressMeter::Clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

// The run's size: as reported, else worked out once the last item's is known.
std::int64_t runTotal(const ByteProgress& progress) {
    if (progress.allTotal >= 0) {
        return progress.allTotal;
    }
    if (progress.itemCount > 0 && progress.itemNumber == progress.itemCount &&
        progress.itemTotal >= 0) {
        return progress.allDone - progress.itemDone + progress.itemTotal;
    }
    return -1;
}

int itemsDoneOf(const ByteProgress& progress) {
    if (progress.itemsDone >= 0) {
        return progress.itemsDone;
    }
    const bool currentDone = progress.itemTotal >= 0 && progress.itemDone >= progress.itemTotal &&
                             progress.itemNumber > 0;
    return std::max(0, progress.itemNumber - 1) + (currentDone ? 1 : 0);
}

}  // namespace

void ProgressMeter::start(Clock::time_point now) {
    last_ = MeterReading{};
    lastByte_ = now;
    sampleStart_ = now;
    sampleDone_ = 0;
}

double ProgressMeter::fraction(const ByteProgress& progress, std::int64_t done) const {
    if (last_.total >= 0) {
        // A run of empty files is done as soon as it starts.
        return last_.total > 0 ? static_cast<double>(done) / static_cast<double>(last_.total) : 1.0;
    }
    if (progress.itemCount <= 0) {
        return -1;
    }
    // Sizes not known for the whole run: the items done, and how far the
    // current one is.
    const double within = progress.itemTotal > 0 ? static_cast<double>(progress.itemDone) /
                                                       static_cast<double>(progress.itemTotal)
                                                 : (progress.itemTotal == 0 ? 1.0 : 0.0);
    return (std::max(0, progress.itemNumber - 1) + std::min(1.0, within)) / progress.itemCount;
}

void ProgressMeter::report(const ByteProgress& progress, Clock::time_point now) {
    const std::int64_t done = std::max(last_.done, progress.allDone);
    if (done > last_.done || !last_.reported) {
        // Bytes after a stall: the stall is not measured as a slow transfer.
        if (now - lastByte_ >= kStallAfter) {
            sampleStart_ = now;
            sampleDone_ = done;
        }
        lastByte_ = now;
    }
    last_.reported = true;
    last_.done = done;
    last_.total = runTotal(progress);
    if (last_.total >= 0) {
        last_.total = std::max(last_.total, done);
    }
    last_.itemCount = progress.itemCount;
    last_.itemsDone =
        std::max(last_.itemsDone, std::min(itemsDoneOf(progress), progress.itemCount));

    const double part = fraction(progress, done);
    if (part >= 0) {
        const int fill = static_cast<int>(std::clamp(part, 0.0, 1.0) * kFillRange);
        last_.fill = std::max(last_.fill, fill);
        last_.percent = last_.fill;
    }
    sample(now, part);
    if (last_.total >= 0 && last_.done >= last_.total) {
        last_.secondsLeft = -1;  // all in: nothing left to wait for
    }
}

void ProgressMeter::sample(Clock::time_point now, double part) {
    const auto span = now - sampleStart_;
    // Only bytes make a sample: a count without them changes nothing shown.
    if (span < kSampleSpan || last_.done <= sampleDone_) {
        return;
    }
    const double rate = static_cast<double>(last_.done - sampleDone_) / seconds(span);
    const double weight = 1.0 - std::exp(-seconds(span) / seconds(kRateTime));
    last_.rate = last_.rate > 0 ? last_.rate + weight * (rate - last_.rate) : rate;
    sampleStart_ = now;
    sampleDone_ = last_.done;
    double bytesLeft = -1;
    if (last_.total >= 0) {
        bytesLeft = static_cast<double>(last_.total - last_.done);
    } else if (part > 0 && part < 1) {
        // The rest of the run as big as its part done so far suggests.
        bytesLeft = static_cast<double>(last_.done) * (1 - part) / part;
    }
    last_.secondsLeft = bytesLeft > 0 ? bytesLeft / last_.rate : -1;
}

MeterReading ProgressMeter::reading(Clock::time_point now) const {
    MeterReading shown = last_;
    shown.waiting = shown.reported && now - lastByte_ >= kStallAfter;
    return shown;
}

}  // namespace tyq::ui
