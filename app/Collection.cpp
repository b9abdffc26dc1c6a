#include "app/Collection.h"

#include <algorithm>
#include <system_error>

#include "common/FileSearch.h"
#include "common/FolderLock.h"
#include "common/MainWindowPort.h"
#include "common/Paths.h"
#include "common/TempFiles.h"
#include "common/Texts.h"
#include "download/CollectState.h"
#include "download/KnownServers.h"
#include "download/TransferJob.h"
#include "download/TransferLog.h"
#include "download/TransferReport.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "unzip/ExtractArchives.h"
#include "unzip/UnzipCommand.h"
#include "unzip/UnzipLibrary.h"

namespace tyq::app {
namespace {

constexpr std::size_t kLogsKept = 10;
constexpr char kLogPrefix[] = "QLMTYFTP-";
constexpr char kLogSuffix[] = ".Log";

// The window's progress line as plain lines on standard output, one per
// step: a text shown again is not printed again, and a text of several
// lines is one line.
class ConsolePort : public MainWindowPort {
  public:
    ConsolePort(std::ostream& out, std::string user, std::stop_token stop)
        : out_(out), user_(std::move(user)), stop_(std::move(stop)) {}

    StepOneTexts takeStepOneFields() override { return {}; }
    std::string userId() const override { return user_; }
    bool aolChecked() const override { return false; }
    void setProgressText(const std::string& text) override { print(oneLine(text), text_); }
    void setProgressDetail(const std::string& text) override {
        print(text.empty() ? text : "  " + oneLine(text), detail_);
    }
    void focusProgressText() override {}
    ProcessCounters& counters() override { return counters_; }
    std::stop_token stopToken() const override { return stop_; }

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
    std::string user_;
    std::stop_token stop_;
    ProcessCounters counters_;
    std::string text_;
    std::string detail_;
};

// A certificate is never trusted here: only the window asks.
class Unattended : public download::TransferReport {
  public:
    using TransferReport::TransferReport;
    std::optional<bool> trust(const std::string&, const download::Certificate&,
                              const std::string&) override {
        untrusted = true;
        return false;
    }
    bool untrusted = false;
};

struct Snapshot {
    download::FtpServer server;
    std::string local;
    std::string zipPassword;
    int connections = settings::kDefaultConnections;
    bool meteredAllowed = false;
    std::optional<settings::SecretRead> keyring;  // why a password is missing
};

Snapshot readSettings(const settings::ProfileStore& profiles) {
    const auto values = settings::readSnapshot(profiles);
    Snapshot s;
    s.server.host = values.host;
    s.server.port = values.port;
    s.server.user = values.user;
    s.server.password = values.pass;
    s.server.encryption = download::encryptionFrom(values.encryption);
    s.local = values.local;
    s.zipPassword = values.zipPass;
    s.connections = values.connections;
    s.meteredAllowed = settings::readNumber(profiles, settings::Key::CollectOnMetered) == 1;
    s.keyring = values.secretFailure;
    return s;
}

// A new transfer log in the state folder, named by its start.
std::string newLogPath(const std::filesystem::path& folder, std::time_t now) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const auto stamp = download::formatStamp("%Y%m%d-%H%M%S", now);
    return (folder / (kLogPrefix + stamp + kLogSuffix)).string();
}

CollectStatus loginStatus(const download::LoginResult& login, bool untrusted) {
    if (login.refused || untrusted) {
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

// One collection, step by step; each step says on `out` what it did.
class Collection {
  public:
    explicit Collection(const CollectEnvironment& env)
        : env_(env),
          out_(*env.out),
          profiles_(env.settingsFolder, env.secrets),
          snap_(readSettings(profiles_)),
          state_(env.stateFolder) {}

    CollectStatus run() {
        if (auto status = prepare()) {
            return *status;
        }
        // Held until the collection ends: nothing else works in the folder.
        const FolderLock lock(folder_, std::chrono::milliseconds(0), env_.stop, kCollectionHolder);
        if (!lock.held()) {
            if (lock.busy()) {
                out_ << kFolderBusyText << ": " << folder_ << std::endl;
                return CollectStatus::Done;
            }
            return end(CollectStatus::Failed,
                       std::string(kFolderLockFailedText) + ": " + lock.failure());
        }
        removeLeftovers(folder_);
        if (const auto failure = state_.load()) {
            out_ << *failure << "; every file is fetched" << std::endl;
        }
        const auto outcome = fetch();
        if (auto status = fetchEnd(outcome)) {
            return *status;
        }
        return extract(outcome);
    }

  private:
    // Settings, network and folder: nothing to collect, or nothing yet.
    std::optional<CollectStatus> prepare() {
        if (snap_.server.host.empty() || snap_.server.host == settings::kDefaultHost ||
            snap_.server.user.empty() || snap_.local.empty()) {
            return end(CollectStatus::NotSetUp, "No mailbox is set up",
                       "Open the window once and fill in Step 1 and the server in Setup");
        }
        // Read without asking anyone: a keyring that holds nothing for the
        // mailbox is a set-up matter, a locked or absent one a later one.
        if (const auto& keyring = snap_.keyring) {
            const bool answered = keyring->answer == settings::SecretAnswer::NotStored;
            return end(answered ? CollectStatus::NotSetUp : CollectStatus::TryLater,
                       "Cannot read the passwords: " + keyring->reason,
                       answered ? "Open the window and type the passwords"
                                : "Unlock the keyring, or log in");
        }
        if (env_.metered && !snap_.meteredAllowed && env_.metered().value_or(false)) {
            return end(CollectStatus::TryLater, "The connection is metered: nothing was fetched",
                       "Set CollectOnMetered=1 in " +
                           profiles_.resolve(settings::kFileName).string() +
                           " to collect over it too");
        }
        folder_ = expandHome(snap_.local);
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

    // Fetches what is new, with the window's texts as lines.
    download::TransferOutcome fetch() {
        StagingFolder staging;
        download::TransferPlan plan;
        plan.server = snap_.server;
        plan.folder = folder_;
        if (staging.create(folder_, kDownloadTempPrefix) == 0) {
            plan.staging = staging.path().string();
        }
        plan.connections = snap_.connections;
        plan.timeouts = env_.timeouts;
        plan.knownServers = profiles_.folder() / download::kKnownServersFileName;
        plan.agent = kProgramName;
        bool timeless = false;
        plan.wanted = [&](const download::ZipListing& listing, std::size_t item) {
            const auto listed = download::listedFile(listing, item);
            timeless = timeless || listed.modified.empty();
            return state_.isNew(listed);
        };
        const auto logFolder = env_.stateFolder / "logs";
        Unattended report(port_, folder_, env_.clock, nullptr, newLogPath(logFolder, env_.clock()));
        auto outcome = download::runTransfer(plan, report, env_.stop);
        untrusted_ = report.untrusted;
        pruneLogs(logFolder, kLogsKept);
        if (timeless && outcome.listing.listed) {
            out_ << "The server tells no file times: name and size decide what is new" << std::endl;
        }
        if (auto failure = download::recordCollected(env_.stateFolder, outcome, env_.clock())) {
            out_ << *failure << std::endl;
        }
        for (const auto& file : outcome.arrived) {
            summary_.newFiles.push_back(file.name);
        }
        return outcome;
    }

    // The end of a download that got no listing to work through.
    std::optional<CollectStatus> fetchEnd(const download::TransferOutcome& outcome) {
        using download::TransferEnd;
        switch (outcome.end) {
            case TransferEnd::Stopped:
                return end(CollectStatus::TryLater, "Collection stopped");
            case TransferEnd::NoServer:
                return end(CollectStatus::NotSetUp, "No mailbox is set up");
            case TransferEnd::NoSession:
                return end(CollectStatus::Failed, "No FTP session could be made");
            case TransferEnd::LoginFailed:
                return end(loginStatus(outcome.login, untrusted_),
                           "Could not log in to the mailbox: " + outcome.login.description,
                           untrusted_ ? "Open the window once and trust the certificate there"
                                      : std::string());
            case TransferEnd::Finished:
                break;
        }
        if (!outcome.listing.listed) {
            return end(CollectStatus::TryLater, "The mailbox could not be listed");
        }
        return std::nullopt;
    }

    // Only what this collection fetched is extracted; nothing else is
    // deleted.
    CollectStatus extract(const download::TransferOutcome& outcome) {
        unzip::ExtractionPlan extraction;
        extraction.destination = folder_ + "/";
        extraction.password = snap_.zipPassword;
        extraction.libraryFolder = env_.libraryFolder;
        for (const auto& file : outcome.arrived) {
            if (matchesPattern(file.name, NamePattern::QlmZip)) {
                extraction.names.push_back(file.name);
            }
        }
        unzip::ExtractionOutcome extracted;
        if (!extraction.names.empty()) {
            extracted = unzip::extractArchives(extraction, port_, env_.stop);
        }
        auto status = outcome.failed.empty() ? CollectStatus::Done : CollectStatus::Failed;
        std::string hint;
        for (const auto& failure : extracted.failures) {
            out_ << failure.name << ": " << unzip::unzipFailureReason(failure.code) << std::endl;
            if (failure.code == unzip::code::kBadPassword) {
                status = CollectStatus::Refused;
                hint = "Check the zip password in the window";
            } else if (status == CollectStatus::Done) {
                status = CollectStatus::Failed;
            }
        }
        if (extracted.stopped) {
            status = CollectStatus::TryLater;
        }
        const auto fetched = outcome.arrived.size();
        std::string headline =
            fetched == 0 ? std::string("Nothing new in the mailbox")
                         : std::to_string(fetched) + (fetched == 1 ? " new file" : " new files") +
                               " from the mailbox, " + std::to_string(extracted.extracted.size()) +
                               " extracted";
        if (!outcome.failed.empty()) {
            headline += "; " + std::to_string(outcome.failed.size()) + " could not be fetched";
        }
        // The record as the download left it, with this run at its end. An
        // archive fetched but not extracted (a wrong zip password, a stop)
        // counts as not collected, so the next run fetches and extracts it
        // again rather than leave it packed for good.
        static_cast<void>(state_.load());
        for (const auto& file : outcome.arrived) {
            if (matchesPattern(file.name, NamePattern::QlmZip) &&
                std::ranges::find(extracted.extracted, file.name) == extracted.extracted.end()) {
                state_.record(download::listedFile(outcome.listing, file.item), false,
                              env_.clock());
            }
        }
        state_.recordRun({env_.clock(), static_cast<int>(fetched), headline});
        if (auto failure = state_.save()) {
            out_ << *failure << std::endl;
        }
        return end(status, headline, hint);
    }

    // Says how the collection ended.
    CollectStatus end(CollectStatus status, std::string headline, std::string hint = {}) {
        out_ << headline << std::endl;
        if (!hint.empty()) {
            out_ << hint << std::endl;
        }
        summary_.status = status;
        summary_.headline = std::move(headline);
        summary_.hint = std::move(hint);
        return status;
    }

  public:
    const CollectSummary& summary() const noexcept { return summary_; }

  private:
    const CollectEnvironment& env_;
    std::ostream& out_;
    const settings::ProfileStore profiles_;
    const Snapshot snap_;
    download::CollectState state_;
    std::string folder_;
    CollectSummary summary_;
    ConsolePort port_{out_, snap_.server.user, env_.stop};
    bool untrusted_ = false;
};

}  // namespace

CollectStatus collect(const CollectEnvironment& env) {
    Collection collection(env);
    const auto status = collection.run();
    // Told after the folder is free again: the notification may wait long for
    // a click, and the next collection or the window must not find it busy.
    const auto& summary = collection.summary();
    const bool tell = !summary.newFiles.empty() ||
                      (status != CollectStatus::Done && status != CollectStatus::TryLater);
    if (tell && env.notify) {
        env.notify(summary);
    }
    return status;
}

}  // namespace tyq::app
