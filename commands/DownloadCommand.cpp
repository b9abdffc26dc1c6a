#include "commands/DownloadCommand.h"

#include "commands/FolderRun.h"
#include "commands/MailboxTransfer.h"
#include "common/NotedWindow.h"
#include "common/Paths.h"
#include "download/CollectState.h"
#include "download/LocalFolder.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"

namespace tyq::commands {
using namespace download;
namespace {

// A save that leaves the file without a value the command uses is said in a
// box, and the command ends there rather than go on with values the file
// does not hold.
void refuse(Prompter& prompter, const std::string& failure) {
    prompter.ask(Prompt{failure, PromptButtons::Ok, PromptIcon::Error, PromptOwner::MainWindow});
}

// What became of the folder question: the folder is there, the user had it
// made (the command starts again), or the command ends.
enum class FolderAnswer { Go, Again, End };

FolderAnswer askAboutFolder(const std::string& folder, Prompter& prompter) {
    // Nothing to ask about a folder without a name.
    if (folder.empty()) {
        prompter.ask(
            Prompt{kBlankDirectoryText, PromptButtons::Ok, PromptIcon::Error, PromptOwner::None});
        return FolderAnswer::End;
    }
    if (folderExists(folder)) {
        return FolderAnswer::Go;
    }
    const auto answer =
        prompter.ask(Prompt{"The directory " + folder +
                                " does not exist.\nDo you want to create "
                                "the directory?",
                            PromptButtons::YesNo, PromptIcon::None, PromptOwner::MainWindow});
    // A folder that could not be made has been named with the reason;
    // asking again would only meet the same failure.
    if (answer != PromptAnswer::Yes || !createFolder(folder, prompter)) {
        return FolderAnswer::End;
    }
    return FolderAnswer::Again;
}

// Why the command cannot work in the folder.
void sayNotHeld(const FolderRun& run, NotedWindow& noted) {
    if (run.hold() == FolderRun::Hold::Stopped) {
        noted.setProgressText(kStoppedText);
        noted.setProgressDetail(kNothingDownloadedText);
        return;
    }
    const bool busy = run.hold() == FolderRun::Hold::Busy;
    noted.setProgressText(busy ? kFolderBusyText : kFolderLockFailedText);
    noted.setProgressDetail(busy ? run.folder() : run.lockFailure());
}

// The download itself, in a folder this command holds: the QLM files go
// first if the user wants them gone, then the mailbox.
download::TransferOutcome downloadInto(FolderRun& run, const std::string& stored,
                                       MainWindowPort& window, NotedWindow& noted,
                                       const settings::ProfileStore& profiles, Prompter& prompter,
                                       const std::filesystem::path& libraryFolder,
                                       const MoveToTrash& trash) {
    for (const std::string& note : run.kept()) {
        noted.addNote(note);
    }
    const int downloads = window.counters().downloads;
    if (downloads >= 1) {
        const auto cleanup = offerQlmCleanup(run.folder(), stored, prompter, trash);
        if (cleanup.nothingFound) {
            noted.setProgressText("Files not found");
        }
        if (!cleanup.failure.empty()) {
            noted.addNote(cleanup.failure);
        }
    }
    // Its outcome is in the progress text and the log.
    TransferOptions options;
    options.folder = run.folder();
    options.staging = run.staging();
    options.partials = run.partials();
    options.prompter = &prompter;
    options.record = &run.record(CollectState::defaultFolder());
    auto outcome = transferMailbox(noted, window.userId(), window.stopToken(), profiles,
                                   libraryFolder, options);
    // The lines added as each file ended, made one again.
    if (options.record->appended()) {
        if (auto failure = options.record->save()) {
            noted.addNote(failure->text);
        }
    }
    return outcome;
}

// The command's steps; the transfer's outcome when it got that far.
std::optional<download::TransferOutcome> downloadSteps(MainWindowPort& window,
                                                       const settings::ProfileStore& profiles,
                                                       Prompter& prompter,
                                                       const std::filesystem::path& libraryFolder,
                                                       const MoveToTrash& trash) {
    using namespace settings;
    // The delete question is asked only while it is 1 or more.
    int& counter = window.counters().downloads;
    // A save that failed without harm to this command is said under
    // whatever the transfer shows.
    NotedWindow noted(window);
    // A folder the user agrees to create sends the command back to its start;
    // a loop in place of the call keeps the stack flat however often that is.
    for (;;) {
        // The user ID goes to the server from the field, so only a save that
        // failed to keep the others stops the command.
        CommandSave saved;
        if (read(profiles, Key::Host).empty()) {
            saved = saveForCommand(profiles, {{Key::Host, kDefaultHost, true}});
        }
        const auto fields = window.takeStepOneFields();
        saved = saveStepOne(profiles, fields,
                            {.user = Save::Kept,
                             .pass = Save::Used,
                             .zipPass = Save::Kept,
                             .aolOff = window.aolChecked() ? Save::Skip : Save::Used},
                            saved);
        if (saved.blocking) {
            refuse(prompter, saved.failure);
            return std::nullopt;
        }

        // One folder for the whole command: the one the questions name is the
        // one tested, created, cleaned and downloaded into. "~/" is home.
        const std::string folder = expandHome(fields.local);
        const auto endHere = [&] {
            if (!saved.failure.empty()) {
                noted.addNote(saved.failure);
            }
            window.focusProgressText();
        };
        const auto there = askAboutFolder(folder, prompter);
        if (there == FolderAnswer::End) {
            endHere();
            return std::nullopt;
        }
        if (there == FolderAnswer::Again) {
            counter = 0;
            continue;
        }

        // Stored as typed; read back whole by the save, it is what the
        // question names.
        saved = saveStepOne(profiles, fields, {.local = Save::Used}, saved);
        if (saved.blocking) {
            refuse(prompter, saved.failure);
            return std::nullopt;
        }
        const std::string& stored = fields.local;
        if (!saved.failure.empty()) {
            noted.addNote(saved.failure);
        }
        // Nothing in the folder is touched while another command works there;
        // a collection is waited out, as the user may not know one runs.
        bool waited = false;
        FolderRun run(folder,
                      {kCommandWait, kWindowHolder,
                       [&] {
                           waited = true;
                           window.setProgressDetail(folder);
                           window.setProgressText(kWaitingForCollectionText);
                       }},
                      window.stopToken());
        if (waited && run.held()) {
            window.setProgressText("");
            window.setProgressDetail("");
        }
        if (!run.held()) {
            sayNotHeld(run, noted);
            return std::nullopt;
        }
        auto outcome =
            downloadInto(run, stored, window, noted, profiles, prompter, libraryFolder, trash);
        ++counter;
        return outcome;
    }
}

}  // namespace

CommandOutcome downloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                             Prompter& prompter, const std::filesystem::path& libraryFolder,
                             const download::MoveToTrash& trash) {
    EndWords told(window);
    auto outcome = downloadSteps(told, profiles, prompter, libraryFolder, trash);
    return outcome ? told.outcome(std::move(*outcome)) : told.outcome({});
}

}  // namespace tyq::commands
