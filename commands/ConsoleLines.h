#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

#include "common/CommandPort.h"

namespace tyq::commands {

// Where the collection's lines go and how.
struct ConsoleStyle {
    // Only errors and warnings, on `err`.
    bool quiet = false;
    // The width of the terminal `out` writes to, which then shows the bytes
    // on one line rewritten in place; 0: not a terminal.
    int terminalColumns = 0;
};

// What the collection does, as plain lines: a step a line on `out`, errors
// and warnings on `err`. A text shown again is not printed again, and a text
// of several lines is one line. Nobody is there to answer a question.
class ConsoleLines : public CommandPort {
  public:
    using Clock = std::chrono::steady_clock;
    // At most this often the progress line is rewritten.
    static constexpr std::chrono::milliseconds kRedraw{250};

    ConsoleLines(std::ostream& out, std::ostream& err, ConsoleStyle style);

    void setProgressText(const std::string& text) override;
    void setProgressDetail(const std::string& text) override;
    void setProgressBytes(const ByteProgress& progress) override;

    // A line of the collection's own, on `out`.
    void say(const std::string& line);
    // An error or a warning, on `err`, even when quiet.
    void warn(const std::string& line);

  private:
    void print(const std::string& line, std::string& last);
    void clearProgress();

    std::mutex mutex_;
    std::ostream& out_;
    std::ostream& err_;
    const ConsoleStyle style_;
    std::string text_;
    std::string detail_;
    // The progress line on the terminal now; empty when none shows.
    std::string shown_;
    Clock::time_point drawn_{};
    // Where the rate is measured from: the start of the bytes counted.
    Clock::time_point start_{};
    std::int64_t startBytes_ = 0;
    std::int64_t lastBytes_ = -1;
};

// "512 bytes of 1.5 MB (0%)", "1.2 of 3.0 MB (40%)": the unit once where both share it.
std::string bytesOfText(std::int64_t done, std::int64_t total);
// A duration as the window's summary gives it: "4 s", "2 min 5 s", "1 h 3 min".
std::string tookText(std::chrono::seconds took);

}  // namespace tyq::commands
