#include "commands/UnzipCommand.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/FolderRun.h"
#include "commands/Plans.h"
#include "common/FileSearch.h"
#include "common/NotedWindow.h"
#include "common/Paths.h"
#include "common/ShownText.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "unzip/ExtractArchives.h"
#include "unzip/UnzipLibrary.h"

namespace tyq::commands {
using namespace unzip;
namespace {

constexpr char kInProgress[] = "Unzipping files in progress...";
constexpr char kFilesNotFound[] = "Files not found";
constexpr char kFinished[] = "Unzipping Finished!";
constexpr char kStopped[] = "Unzipping stopped";
constexpr char kNotSaved[] = "The settings could not be saved";
// How many failed archives the detail explains by name.
constexpr std::size_t kNamedFailures = 3;

// How many of the library's warnings the detail gives for one archive.
constexpr std::size_t kNamedWarnings = 3;

using Failure = ArchiveFailure;

// "reason (warning, warning, and 2 more)": the warnings name the entries
// that could not be extracted.
std::string failureReason(const Failure& failure) {
    const std::string reason = unzipFailureReason(failure.code);
    if (failure.warnings.empty()) {
        return reason;
    }
    // The list begins with its own separator.
    return reason + " (" + namedWithMore(failure.warnings, kNamedWarnings, ", ").substr(2) + ")";
}

// "; A.ZIP: reason; B.ZIP: reason; and 2 more", each after a separator.
std::string failureList(const std::vector<Failure>& failures) {
    std::vector<std::string> items;
    for (const auto& failure : failures) {
        items.push_back(failure.name + ": " + failureReason(failure));
    }
    return namedWithMore(items, kNamedFailures, "; ");
}

// "2 of 3 archives extracted".
std::string extractedCount(std::size_t extracted, std::size_t count) {
    return std::to_string(extracted) + " of " + std::to_string(count) +
           (count == 1 ? " archive" : " archives") + " extracted";
}

// Names every archive that stayed after a run that went to its end; empty
// when every one was extracted.
std::string runDetail(const std::vector<Failure>& failures) {
    if (failures.empty()) {
        return {};
    }
    if (failures.size() == 1) {
        const Failure& failure = failures.front();
        // Code -1 is no archive's fault, and has no warnings.
        return failure.code == -1 ? unzipFailureText(failure.name, failure.code)
                                  : failure.name + ": " + failureReason(failure);
    }
    // failureList begins with its own separator.
    return failureList(failures).substr(2);
}

// What a stopped run left: the archives it left whole ("A.ZIP and B.ZIP stay
// whole; Unzip Download Files takes them up again"), then those that failed.
std::string stoppedDetail(const ExtractionOutcome& outcome) {
    const auto& whole = outcome.leftWhole;
    // Each part begins with its own separator.
    const std::string text =
        (whole.empty() ? std::string()
                       : "; " + leftWholeText(whole) + "; Unzip Download Files takes " +
                             (whole.size() == 1 ? "it" : "them") + " up again") +
        failureList(outcome.failures);
    return text.empty() ? text : text.substr(2);
}

// Why the command cannot work in the folder.
void sayNotHeld(const FolderRun& run, NotedWindow& window) {
    if (run.hold() == FolderRun::Hold::Stopped) {
        window.setProgressText(kStopped);
        return;
    }
    const bool busy = run.hold() == FolderRun::Hold::Busy;
    window.setProgressText(busy ? kFolderBusyText : kFolderLockFailedText);
    window.setProgressDetail(busy ? run.destination() : run.lockFailure());
}

// The command's steps; the extraction's outcome when it got that far.
std::optional<ExtractionOutcome> unzipSteps(MainWindowPort& outer,
                                            const settings::ProfileStore& profiles,
                                            const std::filesystem::path& libraryFolder) {
    using namespace settings;
    // A save that failed without harm to this command is said under every
    // detail the run gives.
    NotedWindow window(outer);
    const StepOneTexts fields = outer.takeStepOneFields();
    // The run reads the zip password and the folder back from the file; the
    // user ID and the FTP password are only kept for the download.
    const CommandSave saved = saveStepOne(
        profiles, fields,
        {.user = Save::Kept, .pass = Save::Kept, .zipPass = Save::Used, .local = Save::Used});
    if (saved.blocking) {
        // Nothing is extracted with values the file does not hold.
        window.setProgressText(kNotSaved);
        window.setProgressDetail(saved.failure);
        return std::nullopt;
    }
    const Snapshot values = readSnapshot(profiles);

    window.setProgressDetail("");
    if (!saved.failure.empty()) {
        window.addNote(saved.failure);
    }
    window.setProgressText(kInProgress);

    // Nothing in the folder is touched while another command works there. A
    // folder that is not there has nothing to lock: "Files not found".
    // "~/" stands for the home folder.
    bool waited = false;
    FolderRun run(expandHome(values.local),
                  {kCommandWait, kWindowHolder,
                   [&] {
                       // A collection is waited out, as the user may not know one runs.
                       waited = true;
                       window.setProgressDetail(expandHome(values.local) + "/");
                       window.setProgressText(kWaitingForCollectionText);
                   }},
                  outer.stopToken());
    const std::string destination = run.destination();
    if (waited && run.held()) {
        window.setProgressText(kInProgress);
        window.setProgressDetail("");
    }
    // A folder that is not there has no archives: "Files not found".
    if (run.hold() != FolderRun::Hold::Held && run.hold() != FolderRun::Hold::NoFolder) {
        sayNotHeld(run, window);
        return std::nullopt;
    }
    for (const std::string& note : run.kept()) {
        window.addNote(note);
    }

    const std::vector<std::string> names = findEntries(destination, NamePattern::QlmZip);
    if (names.empty()) {
        window.setProgressText(kFilesNotFound);
        return std::nullopt;
    }
    auto plan = makePlans(values, profiles, run.folder(), libraryFolder).extraction;
    plan.names = names;
    // An archive a download left is collected once extracted.
    auto& record = run.record(download::CollectState::defaultFolder());
    bool noted = false;
    plan.extracted = [&](const std::string& name) {
        if (auto failure = record.extracted(name, std::time(nullptr)); failure && !noted) {
            noted = true;
            window.addNote(failure->text);
        }
    };
    const auto outcome = extractArchives(plan, window, outer.stopToken());
    const auto& failures = outcome.failures;
    const auto extractedArchives = outcome.extracted.size();
    if (outcome.stopped) {
        window.setProgressText(std::string(kStopped) + ": " +
                               extractedCount(extractedArchives, names.size()));
        window.setProgressDetail(stoppedDetail(outcome));
        return outcome;
    }
    // The finished text only when every archive was extracted, judged by
    // each one's own result; otherwise how many were, and the detail
    // names every archive that stayed.
    window.setProgressText(failures.empty() && outcome.lastExtracted
                               ? std::string(kFinished)
                               : extractedCount(extractedArchives, names.size()));
    window.setProgressDetail(runDetail(failures));
    return outcome;
}

}  // namespace

std::string leftWholeText(const std::vector<std::string>& archives) {
    if (archives.empty()) {
        return {};
    }
    return namedInSentence(archives, kNamedFailures) +
           (archives.size() == 1 ? " stays whole" : " stay whole");
}

CommandOutcome unzipDownloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                                  const std::filesystem::path& libraryFolder) {
    EndWords told(window);
    auto outcome = unzipSteps(told, profiles, libraryFolder);
    return outcome ? told.outcome(std::move(*outcome)) : told.outcome({});
}

}  // namespace tyq::commands
