#include "commands/ConsoleLines.h"

#include <algorithm>

#include "common/ShownText.h"

namespace tyq::commands {
namespace {

constexpr char kSeparator[] = " \u00b7 ";
// The terminal's own: back to the start of the line, and clear to its end.
constexpr char kReturn[] = "\r";
constexpr char kClearToEnd[] = "\033[K";

std::string oneLine(std::string text) {
    std::ranges::replace_if(
        text, [](char c) { return c == '\n' || c == '\r'; }, ' ');
    text.erase(
        std::unique(text.begin(), text.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
        text.end());
    return text;
}

}  // namespace

std::string bytesOfText(std::int64_t done, std::int64_t total) {
    std::string first = sizeText(done);
    const std::string second = sizeText(total);
    const auto unit = second.rfind(' ');
    if (unit != std::string::npos && first.ends_with(second.substr(unit))) {
        first.resize(first.size() - (second.size() - unit));
    }
    return first + " of " + second;
}

std::string tookText(std::chrono::seconds took) {
    const auto whole = took.count();
    if (whole < 60) {
        return std::to_string(whole) + " s";
    }
    if (whole < 3600) {
        return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
    }
    return std::to_string(whole / 3600) + " h " + std::to_string(whole % 3600 / 60) + " min";
}

ConsoleLines::ConsoleLines(std::ostream& out, std::ostream& err, ConsoleStyle style)
    : out_(out), err_(err), style_(style) {}

void ConsoleLines::setProgressText(const std::string& text) {
    const std::lock_guard lock(mutex_);
    print(oneLine(text), text_);
}

void ConsoleLines::setProgressDetail(const std::string& text) {
    const std::lock_guard lock(mutex_);
    print(text.empty() ? text : "  " + oneLine(text), detail_);
}

void ConsoleLines::say(const std::string& line) {
    const std::lock_guard lock(mutex_);
    if (!style_.quiet) {
        clearProgress();
        out_ << line << std::endl;
    }
}

void ConsoleLines::warn(const std::string& line) {
    const std::lock_guard lock(mutex_);
    clearProgress();
    err_ << line << std::endl;
}

void ConsoleLines::print(const std::string& line, std::string& last) {
    if (!line.empty() && line != last && !style_.quiet) {
        clearProgress();
        out_ << line << std::endl;
    }
    last = line;
}

void ConsoleLines::clearProgress() {
    if (!shown_.empty()) {
        out_ << kReturn << kClearToEnd << std::flush;
        shown_.clear();
    }
}

void ConsoleLines::setProgressBytes(const ByteProgress& progress) {
    if (style_.quiet || style_.terminalColumns <= 0) {
        return;
    }
    const std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    // A new count (the extraction after the download) measures its own rate.
    if (progress.allDone < lastBytes_ || lastBytes_ < 0) {
        start_ = now;
        startBytes_ = progress.allDone;
    }
    lastBytes_ = progress.allDone;
    if (!shown_.empty() && now - drawn_ < kRedraw) {
        return;
    }
    drawn_ = now;
    const bool whole = progress.allTotal > 0;
    const std::int64_t done = whole ? progress.allDone : progress.itemDone;
    const std::int64_t total = whole ? progress.allTotal : progress.itemTotal;
    std::string line = progress.item;
    if (progress.itemCount > 1) {
        line += kSeparator + std::to_string(progress.itemNumber) + " of " +
                std::to_string(progress.itemCount);
    }
    line += kSeparator;
    if (total > 0) {
        line += bytesOfText(done, total) + " (" +
                std::to_string(std::min(done, total) * 100 / total) + "%)";
    } else {
        line += sizeText(done);
    }
    const std::chrono::duration<double> spent = now - start_;
    if (spent >= std::chrono::seconds(1)) {
        const auto rate = static_cast<double>(progress.allDone - startBytes_) / spent.count();
        line += kSeparator + sizeText(static_cast<std::int64_t>(rate)) + "/s";
    }
    // One line short of the width: a line that wraps cannot be rewritten.
    shown_ = shownText(line, static_cast<std::size_t>(std::max(style_.terminalColumns - 1, 8)));
    out_ << kReturn << shown_ << kClearToEnd << std::flush;
}

}  // namespace tyq::commands
