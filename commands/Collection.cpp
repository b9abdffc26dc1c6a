#include "commands/Collection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>
#include <system_error>

#include "commands/ConsoleLines.h"
#include "commands/FolderRun.h"
#include "commands/Plans.h"
#include "commands/RecordingReport.h"
#include "common/CommandPort.h"
#include "common/DiskFullError.h"
#include "common/FileSearch.h"
#include "common/Paths.h"
#include "common/ShownText.h"
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

// Files an archive holds that the notification names one by one; more are counted.
constexpr std::size_t kNamedPerArchive = 3;

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

// How a collection ends, before it is said.
struct Ending {
    Ending(CollectStatus status, std::string headline, std::string hint = {})
        : status(status), headline(std::move(headline)), hint(std::move(hint)) {}
    CollectStatus status;
    std::string headline;
    std::string hint;
};

// What an extracted archive brought, as the notification names it.
void addData(std::vector<std::string>& arrived, const std::string& archive,
             const std::vector<std::string>& files) {
    if (files.empty()) {
        arrived.push_back(archive + " extracted");
    } else if (files.size() <= kNamedPerArchive) {
        arrived.insert(arrived.end(), files.begin(), files.end());
    } else {
        arrived.push_back(counted(files.size(), " file", " files") + " extracted from " + archive);
    }
}

// One collection, step by step; each step says on the console what it did.
class Collection {
  public:
    Collection(const CollectEnvironment& env, ConsoleLines& console)
        : env_(env),
          console_(console),
          profiles_(env.settingsFolder, env.secrets),
          values_(settings::readSnapshot(profiles_)),
          relay_(env.stop, [this] { stop_.request_stop(); }),
          again_(env.again.begin(), env.again.end()) {}

    CollectResult run() {
        if (auto ending = prepare()) {
            return finish(*ending);
        }
        // Held until the collection ends: nothing else works in the folder.
        FolderRun folder(folder_, {std::chrono::milliseconds(0), kCollectionHolder, {}},
                         stop_.get_token());
        if (folder.hold() == FolderRun::Hold::Busy) {
            console_.warn(std::string(kFolderBusyText) + ": " + folder_);
            summary_.skipped = true;
            return {CollectStatus::Done, summary_};
        }
        if (folder.hold() == FolderRun::Hold::Stopped) {
            return finish({CollectStatus::TryLater, "Collection stopped"});
        }
        if (!folder.held()) {
            return finish({CollectStatus::Failed,
                           std::string(kFolderLockFailedText) + ": " + folder.lockFailure()});
        }
        auto& record = folder.record(env_.stateFolder);
        // Nothing is fetched that could not be recorded: it would be fetched
        // again every day.
        if (auto failure = record.writable()) {
            return finish(recordFailed(*failure));
        }
        if (folder.readFailure()) {
            console_.warn(*folder.readFailure() + "; every file is fetched");
        }
        const auto plans = makePlans(values_, profiles_, folder_, env_.libraryFolder);
        download::TransferOutcome outcome;
        auto early = metered();
        if (!early) {
            try {
                outcome = fetch(folder, record, plans.transfer);
            } catch (const DiskFullError& full) {
                return finish({CollectStatus::TryLater, full.what()});
            }
            if (recordFailure_) {
                return finish(recordFailed(*recordFailure_));
            }
            early = fetchEnd(outcome);
        }
        // What waits in the folder is extracted however the fetching ended,
        // unless the collection was stopped.
        if (stop_.stop_requested()) {
            return finish(early.value_or(Ending{CollectStatus::TryLater, "Collection stopped"}));
        }
        return finish(extract(folder, record, plans.extraction, outcome, early));
    }

  private:
    // Settings and folder: nothing to collect, or nowhere to put it.
    std::optional<Ending> prepare() {
        if (values_.host.empty() || values_.host == settings::kDefaultHost ||
            values_.user.empty() || values_.local.empty()) {
            return Ending{CollectStatus::NotSetUp, "No mailbox is set up",
                          "Open the window once and fill in Step 1 and the server in Setup"};
        }
        // Read without asking anyone: a keyring that holds nothing for the
        // mailbox is a set-up matter, a locked or absent one a later one.
        if (const auto& keyring = values_.secretFailure) {
            const bool answered = keyring->answer == settings::SecretAnswer::NotStored;
            return Ending{answered ? CollectStatus::NotSetUp : CollectStatus::TryLater,
                          "Cannot read the passwords: " + keyring->reason,
                          answered ? "Open the window and type the passwords"
                                   : "Unlock the keyring, or log in"};
        }
        folder_ = expandHome(values_.local);
        summary_.folder = folder_;
        std::error_code error;
        if (!std::filesystem::is_directory(folder_, error)) {
            std::filesystem::create_directories(folder_, error);
            if (error) {
                return Ending{CollectStatus::Failed,
                              "Cannot create " + folder_ + ": " + error.message()};
            }
            console_.say("Created " + folder_);
        }
        return std::nullopt;
    }

    // A metered way out, unless collecting over one is allowed.
    std::optional<Ending> metered() const {
        const bool meteredAllowed =
            settings::readNumber(profiles_, settings::Key::CollectOnMetered) == 1;
        if (env_.metered && !meteredAllowed && env_.metered().value_or(false)) {
            return Ending{CollectStatus::TryLater, "The connection is metered: nothing was fetched",
                          "Set CollectOnMetered=1 in " +
                              profiles_.resolve(settings::kFileName).string() +
                              " to collect over it too"};
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
            return again_.contains(listed.name) || record.isNew(listed);
        };
        const auto logFolder = env_.stateFolder / "logs";
        RecordingReport report(console_, folder_, env_.clock, nullptr,
                               newLogPath(logFolder, env_.clock()), record,
                               [this](const download::StateFailure& failure) {
                                   recordFailure_ = failure;
                                   stop_.request_stop();
                               });
        auto outcome = download::runTransfer(plan, report, stop_.get_token());
        pruneLogs(logFolder, kLogsKept);
        if (timeless && outcome.listing.listed) {
            console_.warn("The server tells no file times: name and size decide what is new");
        }
        for (const auto& name : again_) {
            if (outcome.listing.listed &&
                std::ranges::find(outcome.listing.names, name) == outcome.listing.names.end()) {
                console_.warn(name + ": not in the mailbox");
            }
        }
        // By name until the extraction tells what the archives held.
        for (const auto& file : outcome.arrived) {
            summary_.newFiles.push_back(file.name);
            summary_.arrived.push_back(file.name);
            fetchedBytes_ += file.size;
        }
        for (const auto& failed : outcome.failed) {
            console_.warn(failed.name + ": " + failed.failure);
        }
        return outcome;
    }

    // The end of a download that got no listing to work through.
    static std::optional<Ending> fetchEnd(const download::TransferOutcome& outcome) {
        using download::TransferEnd;
        const bool untrusted = outcome.login.untrusted.has_value();
        switch (outcome.end) {
            case TransferEnd::Stopped:
                return Ending{CollectStatus::TryLater, "Collection stopped"};
            case TransferEnd::NoServer:
                return Ending{CollectStatus::NotSetUp, "No mailbox is set up"};
            case TransferEnd::NoSession:
                return Ending{CollectStatus::Failed, "No FTP session could be made"};
            case TransferEnd::LoginFailed:
                return Ending{loginStatus(outcome.login),
                              "Could not log in to the mailbox: " + outcome.login.description,
                              untrusted ? "Open the window once and trust the certificate there"
                                        : std::string()};
            case TransferEnd::Finished:
                break;
        }
        if (!outcome.listing.listed) {
            return Ending{CollectStatus::TryLater, "The mailbox could not be listed"};
        }
        return std::nullopt;
    }

    // Every archive waiting in the folder is extracted, whatever fetched it,
    // and recorded as collected once extracted. `early`: how the fetching
    // ended when it got no listing.
    Ending extract(FolderRun& folder, download::CollectState& record, unzip::ExtractionPlan plan,
                   const download::TransferOutcome& outcome, const std::optional<Ending>& early) {
        plan.names = findEntries(folder.destination(), NamePattern::QlmZip);
        plan.extracted = [&](const std::string& name) {
            if (auto failure = record.extracted(name, env_.clock()); failure && !recordFailure_) {
                recordFailure_ = failure;
            }
        };
        // What each archive holds, read before extraction deletes it.
        std::vector<std::vector<std::string>> contents;
        for (const auto& name : plan.names) {
            contents.push_back(unzip::archiveFiles(plan.destination + name));
        }
        unzip::ExtractionOutcome extracted;
        if (!plan.names.empty()) {
            extracted = unzip::extractArchives(plan, console_, stop_.get_token());
        }
        // A full disk may pass by itself; anything else needs the user. An
        // early end keeps its own status but for a wrong zip password.
        Ending ending = early.value_or(Ending{CollectStatus::Done, {}, {}});
        for (const auto& failed : outcome.failed) {
            ending.status = graver(
                ending.status, failed.diskFull() ? CollectStatus::TryLater : CollectStatus::Failed);
        }
        for (const auto& failure : extracted.failures) {
            console_.warn(failure.name + ": " + unzip::unzipFailureReason(failure.code));
            if (failure.code == unzip::code::kBadPassword) {
                ending.status = CollectStatus::Refused;
                ending.hint = "Check the zip password in the window";
            } else if (!early) {
                ending.status = graver(ending.status, failure.code == unzip::code::kDiskFull
                                                          ? CollectStatus::TryLater
                                                          : CollectStatus::Failed);
            }
            fetchAgain(record, outcome.listing, failure.name);
        }
        if (extracted.stopped) {
            ending.status = CollectStatus::TryLater;
        }
        nameArrivals(outcome, plan.names, contents, extracted);
        extractedBytes_ = extracted.bytes;
        const auto fetched = outcome.arrived.size();
        const auto done = extracted.extracted.size();
        const std::string waited =
            counted(done, " archive", " archives") + " in the folder extracted";
        if (early) {
            ending.headline += done == 0 ? std::string() : "; " + waited;
        } else {
            ending.headline = fetched != 0
                                  ? counted(fetched, " new file", " new files") +
                                        " from the mailbox, " + std::to_string(done) + " extracted"
                              : done == 0 ? std::string("Nothing new in the mailbox")
                                          : "Nothing new in the mailbox, " + waited;
        }
        if (!outcome.failed.empty()) {
            ending.headline +=
                "; " + std::to_string(outcome.failed.size()) + " could not be fetched";
        }
        // The record as each file left it, made one again, without the
        // files the mailbox no longer holds; a mailbox not listed tells none.
        if (outcome.listing.listed) {
            record.keepOnly(outcome.listing.names);
            record.recordRun({env_.clock(), static_cast<int>(fetched), ending.headline});
        }
        if (auto failure = record.save(); failure && !recordFailure_) {
            recordFailure_ = failure;
        }
        if (recordFailure_) {
            console_.warn(recordFailure_->text);
            ending.status = writeStatus(recordFailure_->error);
        }
        return ending;
    }

    // What arrived, for the notification: an archive extracted by what it
    // held, not by its name, which is gone.
    void nameArrivals(const download::TransferOutcome& outcome,
                      const std::vector<std::string>& archives,
                      const std::vector<std::vector<std::string>>& contents,
                      const unzip::ExtractionOutcome& extracted) {
        summary_.arrived.clear();
        std::set<std::string> told;
        const auto data = [&](const std::string& name) {
            const auto at = std::ranges::find(archives, name);
            const bool done =
                std::ranges::find(extracted.extracted, name) != extracted.extracted.end();
            if (!done || at == archives.end() || !told.insert(name).second) {
                return false;
            }
            addData(summary_.arrived, name, contents[at - archives.begin()]);
            return true;
        };
        for (const auto& file : outcome.arrived) {
            if (!data(file.name)) {
                summary_.arrived.push_back(file.name);
            }
        }
        for (const auto& name : extracted.extracted) {
            data(name);
        }
        summary_.extracted = extracted.extracted.size();
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

    static Ending recordFailed(const download::StateFailure& failure) {
        return {writeStatus(failure.error), failure.text,
                "Nothing is fetched until the record can be saved"};
    }

    // Says how the collection ended: a failure on the error stream, and
    // what arrived as the window's summary gives it.
    CollectResult finish(const Ending& ending) {
        const bool good = ending.status == CollectStatus::Done;
        for (const auto& line : {ending.headline, ending.hint}) {
            if (!line.empty()) {
                good ? console_.say(line) : console_.warn(line);
            }
        }
        const auto fetched = summary_.newFiles.size();
        if (fetched != 0 || summary_.extracted != 0) {
            const auto took = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::steady_clock::now() - started_);
            console_.say((fetched != 0 ? counted(fetched, " file", " files")
                                       : counted(summary_.extracted, " archive", " archives")) +
                         " \u00b7 " + sizeText(fetched != 0 ? fetchedBytes_ : extractedBytes_) +
                         " \u00b7 " + tookText(took) + " \u00b7 " + folder_);
        }
        summary_.status = ending.status;
        summary_.headline = ending.headline;
        summary_.hint = ending.hint;
        return {ending.status, summary_};
    }

    const CollectEnvironment& env_;
    ConsoleLines& console_;
    const settings::ProfileStore profiles_;
    const settings::Snapshot values_;
    // The caller's stop, and the collection's own when its record fails.
    std::stop_source stop_;
    std::stop_callback<std::function<void()>> relay_;
    const std::set<std::string> again_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::string folder_;
    CollectSummary summary_;
    std::int64_t fetchedBytes_ = 0;
    std::int64_t extractedBytes_ = 0;
    std::optional<download::StateFailure> recordFailure_;
};

// The same cause gives the same reason, whatever its details: the status
// and the headline up to its particulars.
std::string reasonOf(const CollectSummary& summary) {
    if (summary.status == CollectStatus::Done) {
        return {};
    }
    return std::to_string(static_cast<int>(summary.status)) + " " +
           summary.headline.substr(0, summary.headline.find_first_of(":;,"));
}

// Keeps how the collection ended and says whether the desktop hears of it.
Telling remember(const CollectEnvironment& env, const CollectSummary& summary,
                 ConsoleLines& console) {
    const bool arrived = !summary.arrived.empty();
    // A stop is no failure: the user or the session ended it.
    if (summary.skipped || env.stop.stop_requested()) {
        return arrived ? Telling::Told : Telling::Not;
    }
    CollectHistory history(env.stateFolder);
    if (auto failure = history.load()) {
        console.warn(*failure);
    }
    const auto telling =
        history.take({env.clock(), static_cast<int>(summary.status), summary.headline},
                     reasonOf(summary), arrived);
    if (auto failure = history.save()) {
        console.warn(*failure);
    }
    return telling;
}

}  // namespace

CollectResult collect(const CollectEnvironment& env) {
    // Whatever goes wrong ends the collection with a status and a line,
    // never a crash: a timer would only see a core dump.
    std::ostream& err = env.err != nullptr ? *env.err : *env.out;
    ConsoleLines console(*env.out, err, env.console);
    CollectResult result{CollectStatus::Failed, {}};
    try {
        result = Collection(env, console).run();
    } catch (const DiskFullError& full) {
        console.warn(full.what());
        result.status = CollectStatus::TryLater;
        result.summary = {};
        result.summary.headline = full.what();
    } catch (const std::exception& error) {
        console.warn(std::string("The collection ended with an unexpected error: ") + error.what());
        result.summary = {};
        result.summary.headline = error.what();
    }
    result.summary.status = result.status;
    result.telling = remember(env, result.summary, console);
    return result;
}

}  // namespace tyq::commands
