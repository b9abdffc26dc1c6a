#pragma once

#include <chrono>
#include <cstdint>

#include "common/MainWindowPort.h"

namespace tyq::ui {

// What the progress bar shows at one moment.
struct MeterReading {
    bool reported = false;    // a count has come in since the start
    int fill = 0;             // of kFillRange, which is also the percentage; never less than before
    std::int64_t done = 0;    // bytes of the whole run; never less than before
    std::int64_t total = -1;  // bytes of the whole run, when known
    int percent = -1;         // the fill, when there is anything to measure it by
    int itemsDone = 0;        // items finished; never less than before
    int itemCount = 0;
    double rate = 0;          // bytes a second, smoothed; 0: not known yet
    double secondsLeft = -1;  // -1: not known
    bool waiting = false;     // no byte came for a while
};

// The arithmetic behind the progress bar, apart from the window and its
// clock: counts from a command in, what to show out. Helper connections
// report a file's bytes only when its turn comes, and a restarted transfer
// reports from zero again, so what is shown only ever grows.
class ProgressMeter {
  public:
    using Clock = std::chrono::steady_clock;
    // The fill is a whole percentage, so the bar, its text and what a screen
    // reader says of its value are one number.
    static constexpr int kFillRange = 100;
    // The rate is an average whose older samples weigh less and less: after
    // this long a sample counts for a third of what it did, so the rate
    // follows about the last ten seconds, not every burst.
    static constexpr std::chrono::seconds kRateTime{5};
    // Bytes are measured over at least this long before they make a sample.
    static constexpr std::chrono::seconds kSampleSpan{1};
    // Without a byte for this long, the server is said to be keeping us waiting.
    static constexpr std::chrono::seconds kStallAfter{3};

    void start(Clock::time_point now);
    void report(const ByteProgress& progress, Clock::time_point now);
    // Rate and time left change only as bytes come: while they stand still
    // the time left stays where it was.
    MeterReading reading(Clock::time_point now) const;

  private:
    // How much of the run is done, 0 to 1; -1 when nothing tells.
    double fraction(const ByteProgress& progress, std::int64_t done) const;
    void sample(Clock::time_point now, double fraction);

    MeterReading last_;
    Clock::time_point lastByte_{};
    // Where the sample being gathered began.
    Clock::time_point sampleStart_{};
    std::int64_t sampleDone_ = 0;
};

}  // namespace tyq::ui
