#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace tyq::commands {

// The file's name, in the state folder beside the record of collected files.
inline constexpr char kHistoryFileName[] = "outcomes";

// How a collection's end is told on the desktop.
enum class Telling {
    Not,     // nothing to tell, or told before
    Told,    // as its outcome deserves
    Urgent,  // failing for the third day: critical, whatever the reason
};

// How one collection ended, in a few words.
struct CollectEnd {
    std::time_t when = 0;
    int status = 0;
    std::string account;
};

// The last success and failure of the collections, and what the desktop was
// told since the last success: a failure is told once per reason, and once
// more when collections have failed on three days; a success starts afresh.
// A small text file beside the record, at mode 0600, rewritten whole.
class CollectHistory {
  public:
    explicit CollectHistory(std::filesystem::path folder);

    // Reads the file; a missing one is no history. Nothing, or why not (it
    // then starts empty: a failure is told again rather than never).
    std::optional<std::string> load();
    // Writes the file whole; nothing, or why not.
    std::optional<std::string> save() const;

    // Takes a collection's end. `reason` names its failure, the same for the
    // same cause whatever the details (empty for a success); `arrived`: it
    // brought data, which is always told.
    Telling take(const CollectEnd& end, const std::string& reason, bool arrived);

    const std::optional<CollectEnd>& lastSuccess() const noexcept { return success_; }
    const std::optional<CollectEnd>& lastFailure() const noexcept { return failure_; }
    std::filesystem::path file() const { return folder_ / kHistoryFileName; }

  private:
    std::filesystem::path folder_;
    std::optional<CollectEnd> success_;
    std::optional<CollectEnd> failure_;
    std::set<std::string> told_;  // the reasons told since the last success
    int failingDays_ = 0;         // days with a failure since the last success
    long lastFailingDay_ = 0;     // the last of them, as YYYYMMDD
    bool urgentTold_ = false;
};

}  // namespace tyq::commands
