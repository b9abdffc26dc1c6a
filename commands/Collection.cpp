#include "commands/Collection.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "commands/FolderRun.h"
#include "commands/Plans.h"
#include "commands/RecordingReport.h"
#include "common/CommandPort.h"
#include "common/DiskFullError.h"
#include "common/FileSearch.h"
#include "common/Paths.h"
#include "download/CollectState.h"
#include "download/TransferJob.h"
#include "download/TransferLog.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "unzip/ExtractArchives.h"
#include "unzip/UnzipLibrary.h"

namespace tyq::commands {
namespace {

constexpr std::size_t kLogsKept = 10;
constexpr char kLogPrefix[] = "QLMTYFTP-";
constexpr char kLogSuffix[] = ".Log";

// What the collection does, as plain lines on standard output, one per
// step: a text shown again is not printed again, and a text of several lines
// is one line. Nobody is there to answer a question.
class ConsoleLines : public CommandPort {
  public:
    explicit ConsoleLines(std::ostream& out) : out_(out) {}

    void setProgressText(const std::string& text) override { print(oneLine(text), text_); }
    void setProgressDetail(const std::string& text) override {
        print(text.empty() ? text : "  " + oneLine(text), detail_);
    }

  private:
    static std::string oneLine(std::string text) {
        std::ranges::replace_if(
            text, [](char c) { return c == '\n' || c == '\r'; }, ' ');
        text.erase(std::unique(text.begin(), text.end(),
                               [](char a, char b) { return a == ' ' && b == ' '; }),
                   text.end());
        return text;
    }
    void print(const std::string& line, std::string& last) {
        if (!line.empty() && line != last) {
            out_ << line << std::endl;
        }
        last = line;
    }

    std::ostream& out_;
    std::string text_;
    std::string detail_;
};

// A new transfer log in the state folder, named by its start.
std::string newLogPath(const std::filesystem::path& folder, std::time_t now) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const auto stamp = download::formatStamp("%Y%m%d-%H%M%S", now);
    return (folder / (kLogPrefix + stamp + kLogSuffix)).string();
}

CollectStatus loginStatus(const download::LoginResult& login) {
    if (login.refused || login.untrusted) {
        return CollectStatus::Refused;
    }
    // A sound connection could not be had: no fault of the network's.
    if (login.encryption) {
        return CollectStatus::Failed;
    }
    return CollectStatus::TryLater;  // unreachable, busy, timed out
}

}  // namespace

void pruneLogs(const std::filesystem::path& logFolder, std::size_t keep) {
    std::vector<std::string> logs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(logFolder, error)) {
        const auto name = entry.path().filename().string();
        if (name.starts_with(kLogPrefix) && name.ends_with(kLogSuffix) &&
            entry.is_regular_file(error)) {
            logs.push_back(name);
        }
    }
    std::ranges::sort(logs);  // the stamp in the name sorts by time
    for (std::size_t i = 0; i + keep < logs.size(); ++i) {
        std::filesystem::remove(logFolder / logs[i], error);
    }
}

namespace {

// A record or log that cannot be written: a full disk passes once space is
// freed; anything else needs the user.
CollectStatus writeStatus(int error) {
    return error == ENOSPC || error == EDQUOT ? CollectStatus::TryLater : CollectStatus::Failed;
}

// The graver of two ends: what the user must mend over what fails for now,
// over what passes by itself.
CollectStatus graver(CollectStatus a, CollectStatus b) {
    const auto rank = [](CollectStatus s) {
        return s == CollectStatus::Refused    ? 3
               : s == CollectStatus::Failed   ? 2
               : s == CollectStatus::TryLater ? 1
                                              : 0;
    };
    return rank(b) > rank(a) ? b : a;
}

std::string counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + (count == 1 ? one : many);
}

// One collection, step by step; each step says on `out` what it did.
class Collection {
  public:
    explicit Collection(const CollectEnvironment& env)
        : env_(env),
          out_(*env.out),
          err_(env.err != nullptr ? *env.err : *env.out),
          profiles_(env.settingsFolder, env.secrets),
          values_(settings::readSnapshot(profiles_)),
          relay_(env.stop, [this] { stop_.request_stop(); }) {}

    CollectResult run() {
        if (auto status = prepare()) {
            return {*status, summary_};
        }
        // Held until the collection ends: nothing else works in the folder.
        FolderRun folder(folder_, {std::chrono::milliseconds(0), kCollectionHolder, {}},
                         stop_.get_token());
        if (folder.hold() == FolderRun::Hold::Busy) {
            out_ << kFolderBusyText << ": " << folder_ << std::endl;
            return {CollectStatus::Done, summary_};
        }
        if (folder.hold() == FolderRun::Hold::Stopped) {
            return {end(CollectStatus::TryLater, "Collection stopped"), summary_};
        }
        if (!folder.held()) {
            return {end(CollectStatus::Failed,
                        std::string(kFolderLockFailedText) + ": " + folder.lockFailure()),
                    summary_};
        }
        auto& record = folder.record(env_.stateFolder);
        // Nothing is fetched that could not be recorded: it would be fetched
        // again every day.
        if (auto failure = record.writable()) {
            return {recordFailed(*failure), summary_};
        }
        if (folder.readFailure()) {
            out_ << *folder.readFailure() << "; every file is fetched" << std::endl;
        }
        const auto plans = makePlans(values_, profiles_, folder_, env_.libraryFolder);
        download::TransferOutcome outcome;
        try {
            outcome = fetch(folder, record, plans.transfer);
        } catch (const DiskFullError& full) {
            return {end(CollectStatus::TryLater, full.what()), summary_};
        }
        if (recordFailure_) {
            return {recordFailed(*recordFailure_), summary_};
        }
        if (auto status = fetchEnd(outcome)) {
            return {*status, summary_};
        }
        return {extract(folder, record, plans.extraction, outcome), summary_};
    }

  private:
    // Settings, network and folder: nothing to collect, or nothing yet.
    std::optional<CollectStatus> prepare() {
        if (values_.host.empty() || values_.host == settings::kDefaultHost ||
            values_.user.empty() || values_.local.empty()) {
            return end(CollectStatus::NotSetUp, "No mailbox is set up",
                       "Open the window once and fill in Step 1 and the server in Setup");
        }
        // Read without asking anyone: a keyring that holds nothing for the
        // mailbox is a set-up matter, a locked or absent one a later one.
        if (const auto& keyring = values_.secretFailure) {
            const bool answered = keyring->answer == settings::SecretAnswer::NotStored;
            return end(answered ? CollectStatus::NotSetUp : CollectStatus::TryLater,
                       "Cannot read the passwords: " + keyring->reason,
                       answered ? "Open the window and type the passwords"
                                : "Unlock the keyring, or log in");
        }
        const bool meteredAllowed =
            settings::readNumber(profiles_, settings::Key::CollectOnMetered) == 1;
        if (env_.metered && !meteredAllowed && env_.metered().value_or(false)) {
            return end(CollectStatus::TryLater, "The connection is metered: nothing was fetched",
                       "Set CollectOnMetered=1 in " +
                           profiles_.resolve(settings::kFileName).string() +
                           " to collect over it too");
        }
        folder_ = expandHome(values_.local);
        summary_.folder = folder_;
        std::error_code error;
        if (!std::filesystem::is_directory(folder_, error)) {
            std::filesystem::create_directories(folder_, error);
            if (error) {
                return end(CollectStatus::Failed,
                           "Cannot create " + folder_ + ": " + error.message());
            }
            out_ << "Created " << folder_ << std::endl;
        }
        return std::nullopt;
    }

    // Fetches what is new, with the window's texts as lines, recording each
    // file as it ends.
    download::TransferOutcome fetch(FolderRun& folder, download::CollectState& record,
                                    download::TransferPlan plan) {
        plan.staging = folder.staging();
        plan.partials = folder.partials();
        plan.timeouts = env_.timeouts;
        // Only the window asks about a certificate.
        plan.askTrust = false;
        bool timeless = false;
        plan.wanted = [&](const download::ZipListing& listing, std::size_t item) {
            const auto listed = download::listedFile(listing, item);
            timeless = timeless || listed.modified.empty();
            return record.isNew(listed);
        };
        const auto logFolder = env_.stateFolder / "logs";
        RecordingReport report(port_, folder_, env_.clock, nullptr,
                               newLogPath(logFolder, env_.clock()), record,
                               [this](const download::StateFailure& failure) {
                                   recordFailure_ = failure;
                                   stop_.request_stop();
                               });
        auto outcome = download::runTransfer(plan, report, stop_.get_token());
        pruneLogs(logFolder, kLogsKept);
        if (timeless && outcome.listing.listed) {
            out_ << "The server tells no file times: name and size decide what is new" << std::endl;
        }
        for (const auto& file : outcome.arrived) {
            summary_.newFiles.push_back(file.name);
        }
        return outcome;
    }

    // The end of a download that got no listing to work through.
    std::optional<CollectStatus> fetchEnd(const download::TransferOutcome& outcome) {
        using download::TransferEnd;
        const bool untrusted = outcome.login.untrusted.has_value();
        switch (outcome.end) {
            case TransferEnd::Stopped:
                return end(CollectStatus::TryLater, "Collection stopped");
            case TransferEnd::NoServer:
                return end(CollectStatus::NotSetUp, "No mailbox is set up");
            case TransferEnd::NoSession:
                return end(CollectStatus::Failed, "No FTP session could be made");
            case TransferEnd::LoginFailed:
                return end(loginStatus(outcome.login),
                           "Could not log in to the mailbox: " + outcome.login.description,
                           untrusted ? "Open the window once and trust the certificate there"
                                     : std::string());
            case TransferEnd::Finished:
                break;
        }
        if (!outcome.listing.listed) {
            return end(CollectStatus::TryLater, "The mailbox could not be listed");
        }
        return std::nullopt;
    }

    // Every archive waiting in the folder is extracted, whatever fetched it,
    // and recorded as collected once extracted.
    CollectStatus extract(FolderRun& folder, download::CollectState& record,
                          unzip::ExtractionPlan plan, const download::TransferOutcome& outcome) {
        plan.names = findEntries(folder.destination(), NamePattern::QlmZip);
        plan.extracted = [&](const std::string& name) {
            if (auto failure = record.extracted(name, env_.clock()); failure && !recordFailure_) {
                recordFailure_ = failure;
            }
        };
        unzip::ExtractionOutcome extracted;
        if (!plan.names.empty()) {
            extracted = unzip::extractArchives(plan, port_, stop_.get_token());
        }
        // A full disk may pass by itself; anything else needs the user.
        auto status = CollectStatus::Done;
        for (const auto& failed : outcome.failed) {
            err_ << failed.name << ": " << failed.failure << std::endl;
            status =
                graver(status, failed.diskFull() ? CollectStatus::TryLater : CollectStatus::Failed);
        }
        std::string hint;
        for (const auto& failure : extracted.failures) {
            err_ << failure.name << ": " << unzip::unzipFailureReason(failure.code) << std::endl;
            if (failure.code == unzip::code::kBadPassword) {
                status = CollectStatus::Refused;
                hint = "Check the zip password in the window";
            } else {
                status =
                    graver(status, failure.code == unzip::code::kDiskFull ? CollectStatus::TryLater
                                                                          : CollectStatus::Failed);
            }
            fetchAgain(record, outcome.listing, failure.name);
        }
        if (extracted.stopped) {
            status = CollectStatus::TryLater;
        }
        const auto fetched = outcome.arrived.size();
        const auto done = extracted.extracted.size();
        std::string headline =
            fetched != 0 ? counted(fetched, " new file", " new files") + " from the mailbox, " +
                               std::to_string(done) + " extracted"
            : done == 0 ? std::string("Nothing new in the mailbox")
                        : "Nothing new in the mailbox, " + counted(done, " archive", " archives") +
                              " in the folder extracted";
        if (!outcome.failed.empty()) {
            headline += "; " + std::to_string(outcome.failed.size()) + " could not be fetched";
        }
        // The record as each file left it, made one again, without the
        // files the mailbox no longer holds.
        record.keepOnly(outcome.listing.names);
        record.recordRun({env_.clock(), static_cast<int>(fetched), headline});
        if (auto failure = record.save(); failure && !recordFailure_) {
            recordFailure_ = failure;
        }
        if (recordFailure_) {
            err_ << recordFailure_->text << std::endl;
            status = writeStatus(recordFailure_->error);
        }
        return end(status, headline, hint);
    }

    // An archive that could not be extracted is fetched again next time: the
    // mailbox's copy may be whole, or meant for a mended zip password.
    void fetchAgain(download::CollectState& record, const download::ZipListing& listing,
                    const std::string& name) {
        const auto at = std::ranges::find(listing.names, name);
        if (at == listing.names.end()) {
            return;
        }
        const auto item = static_cast<std::size_t>(at - listing.names.begin());
        if (auto failure = record.append(download::listedFile(listing, item),
                                         download::FileWork::Failed, env_.clock());
            failure && !recordFailure_) {
            recordFailure_ = failure;
        }
    }

    CollectStatus recordFailed(const download::StateFailure& failure) {
        return end(writeStatus(failure.error), failure.text,
                   "Nothing is fetched until the record can be saved");
    }

    // Says how the collection ended.
    CollectStatus end(CollectStatus status, std::string headline, std::string hint = {}) {
        // An end that is not done is an error of the run's.
        auto& to = status == CollectStatus::Done ? out_ : err_;
        to << headline << std::endl;
        if (!hint.empty()) {
            to << hint << std::endl;
        }
        summary_.status = status;
        summary_.headline = std::move(headline);
        summary_.hint = std::move(hint);
        return status;
    }

    const CollectEnvironment& env_;
    std::ostream& out_;
    std::ostream& err_;
    const settings::ProfileStore profiles_;
    const settings::Snapshot values_;
    // The caller's stop, and the collection's own when its record fails.
    std::stop_source stop_;
    std::stop_callback<std::function<void()>> relay_;
    std::string folder_;
    CollectSummary summary_;
    ConsoleLines port_{out_};
    std::optional<download::StateFailure> recordFailure_;
};

}  // namespace

CollectResult collect(const CollectEnvironment& env) {
    // Whatever goes wrong ends the collection with a status and a line,
    // never a crash: a timer would only see a core dump.
    std::ostream& err = env.err != nullptr ? *env.err : *env.out;
    CollectResult failed{CollectStatus::Failed, {}};
    try {
        return Collection(env).run();
    } catch (const DiskFullError& full) {
        err << full.what() << std::endl;
        failed = {CollectStatus::TryLater, {CollectStatus::TryLater, {}, full.what(), {}, {}}};
    } catch (const std::exception& error) {
        err << "The collection ended with an unexpected error: " << error.what() << std::endl;
        failed.summary = {CollectStatus::Failed, {}, error.what(), {}, {}};
    }
    return failed;
}

}  // namespace tyq::commands
