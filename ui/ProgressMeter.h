#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

#include "common/MainWindowPort.h"

namespace tyq::ui {

// What the progress bar shows at one moment.
struct MeterReading {
    bool reported = false;    // a count has come in since the start
    int fill = 0;             // of kFillRange; never less than before
    std::int64_t done = 0;    // bytes of the whole run; never less than before
    std::int64_t total = -1;  // bytes of the whole run, when known
    int percent = -1;         // of total, when known
    int itemNumber = 0;
    int itemCount = 0;
    double rate = 0;          // bytes a second over the last few seconds; 0: not known yet
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
    static constexpr int kFillRange = 1000;
    // The rate is taken over this span: long enough not to jump with every
    // burst, short enough to follow a real change within seconds.
    static constexpr std::chrono::seconds kRateWindow{5};
    // Without a byte for this long, the server is said to be keeping us waiting.
    static constexpr std::chrono::seconds kStallAfter{3};

    void start(Clock::time_point now);
    void report(const ByteProgress& progress, Clock::time_point now);
    MeterReading reading(Clock::time_point now) const;

  private:
    MeterReading last_;
    Clock::time_point lastByte_{};
    // (time, bytes done) as counts came in, oldest first, spanning the window.
    std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
};

}  // namespace tyq::ui
