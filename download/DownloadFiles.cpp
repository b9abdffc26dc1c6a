#include "download/DownloadFiles.h"

#include "common/FolderLock.h"
#include "common/NotedWindow.h"
#include "common/Paths.h"
#include "common/TempFiles.h"
#include "download/CollectState.h"
#include "download/LocalFolder.h"
#include "download/MailboxTransfer.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"

namespace tyq::download {
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

// The download itself, in a folder this command holds: what a killed
// command left goes first, then the QLM files if the user wants them gone,
// then the mailbox.
void downloadInto(const std::string& folder, const std::string& stored, NotedWindow& noted,
                  const settings::ProfileStore& profiles, Prompter& prompter,
                  const std::filesystem::path& libraryFolder, const MoveToTrash& trash) {
    // What a killed command left, finished and removed before anything else;
    // a file written since in a place of an archive's commit stays, named.
    std::vector<std::string> kept;
    removeLeftovers(folder, &kept);
    for (std::string& note : kept) {
        noted.addNote(std::move(note));
    }
    if (noted.counters().downloads >= 1) {
        const auto cleanup = offerQlmCleanup(folder, stored, prompter, trash);
        if (cleanup.nothingFound) {
            noted.setProgressText("Files not found");
        }
        if (!cleanup.failure.empty()) {
            noted.addNote(cleanup.failure);
        }
    }
    // Temporary files in a staging folder of this command's own. Where
    // it cannot be made, they go beside their final names, where each
    // download then meets the same failure and names it.
    StagingFolder staging;
    // Its outcome is in the progress text and the log.
    TransferOptions options;
    options.folder = folder;
    if (staging.create(folder, kDownloadTempPrefix) == 0) {
        options.staging = staging.path().string();
    }
    options.prompter = &prompter;
    options.stateFolder = CollectState::defaultFolder();
    transferMailbox(noted, profiles, libraryFolder, options);
}

}  // namespace

void downloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                   Prompter& prompter, const std::filesystem::path& libraryFolder,
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
            return;
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
            return;
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
            return;
        }
        const std::string& stored = fields.local;
        if (!saved.failure.empty()) {
            noted.addNote(saved.failure);
        }
        // Nothing in the folder is touched while another command works there;
        // a collection is waited out, as the user may not know one runs.
        bool waited = false;
        const FolderLock lock(folder, kCommandWait, window.stopToken(), kWindowHolder, [&] {
            waited = true;
            window.setProgressDetail(folder);
            window.setProgressText(kWaitingForCollectionText);
        });
        if (waited && lock.held()) {
            window.setProgressText("");
            window.setProgressDetail("");
        }
        if (!lock.held() && window.stopToken().stop_requested()) {
            noted.setProgressText(kStoppedText);
            noted.setProgressDetail(kNothingDownloadedText);
            return;
        }
        if (!lock.held()) {
            noted.setProgressText(lock.busy() ? kFolderBusyText : kFolderLockFailedText);
            noted.setProgressDetail(lock.busy() ? folder : lock.failure());
            return;
        }
        downloadInto(folder, stored, noted, profiles, prompter, libraryFolder, trash);
        ++counter;
        return;
    }
}

}  // namespace tyq::download
