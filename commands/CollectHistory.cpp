#include "commands/CollectHistory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "common/PrivateFile.h"
#include "common/ShownText.h"

namespace tyq::commands {
namespace {

constexpr std::size_t kMaxFile = 64 * 1024;
// Enough for any account; a longer one is cut.
constexpr std::size_t kMaxText = 1000;
// Collections failing on this many days are told again, loudly.
constexpr int kUrgentDays = 3;

// A field: its separators and line ends, like every control byte, shown as '?'.
std::string field(const std::string& text) {
    return shownText(text, kMaxText);
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string part; std::getline(in, part, '\t');) {
        out.push_back(part);
    }
    return out;
}

long long number(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

// The local calendar day of `when`, as YYYYMMDD.
long dayOf(std::time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    return (local.tm_year + 1900L) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

std::string endLine(const char* kind, const CollectEnd& end) {
    return std::string(kind) + "\t" + std::to_string(end.when) + "\t" + std::to_string(end.status) +
           "\t" + field(end.account) + "\n";
}

}  // namespace

CollectHistory::CollectHistory(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::optional<std::string> CollectHistory::load() {
    *this = CollectHistory(folder_);
    const auto read = readRecord(file(), kMaxFile);
    if (read.failure) {
        return read.failure;
    }
    std::istringstream lines(read.text);
    for (std::string line; std::getline(lines, line);) {
        const auto f = fields(line);
        // success|failure WHEN STATUS ACCOUNT; told REASON; failing DAYS DAY URGENT
        if ((f.size() == 4 || f.size() == 3) && (f[0] == "success" || f[0] == "failure")) {
            CollectEnd end{static_cast<std::time_t>(number(f[1])), static_cast<int>(number(f[2])),
                           f.size() == 4 ? f[3] : std::string()};
            (f[0] == "success" ? success_ : failure_) = std::move(end);
        } else if (f.size() == 2 && f[0] == "told") {
            told_.insert(f[1]);
        } else if (f.size() == 4 && f[0] == "failing") {
            failingDays_ = static_cast<int>(number(f[1]));
            lastFailingDay_ = static_cast<long>(number(f[2]));
            urgentTold_ = f[3] == "1";
        }
    }
    return std::nullopt;
}

std::optional<std::string> CollectHistory::save() const {
    std::string text;
    if (success_) {
        text += endLine("success", *success_);
    }
    if (failure_) {
        text += endLine("failure", *failure_);
    }
    for (const auto& reason : told_) {
        text += "told\t" + reason + "\n";
    }
    text += "failing\t" + std::to_string(failingDays_) + "\t" + std::to_string(lastFailingDay_) +
            "\t" + (urgentTold_ ? "1" : "0") + "\n";
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
        return "Cannot create " + folder_.string() + ": " + error.message();
    }
    ::chmod(folder_.c_str(), 0700);
    if (const int failed = replacePrivateFile(file(), text, ".outcomes-"); failed != 0) {
        return "Cannot save " + file().string() + ": " + std::strerror(failed);
    }
    return std::nullopt;
}

Telling CollectHistory::take(const CollectEnd& end, const std::string& reason, bool arrived) {
    if (reason.empty()) {
        success_ = end;
        told_.clear();
        failingDays_ = 0;
        lastFailingDay_ = 0;
        urgentTold_ = false;
        return arrived ? Telling::Told : Telling::Not;
    }
    failure_ = end;
    if (const long day = dayOf(end.when); day != lastFailingDay_) {
        lastFailingDay_ = day;
        ++failingDays_;
    }
    const bool toldBefore = !told_.insert(field(reason)).second;
    if (failingDays_ >= kUrgentDays && !urgentTold_) {
        urgentTold_ = true;
        return Telling::Urgent;
    }
    return arrived || !toldBefore ? Telling::Told : Telling::Not;
}

}  // namespace tyq::commands
