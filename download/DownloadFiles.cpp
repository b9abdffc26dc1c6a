#include "download/DownloadFiles.h"

#include "common/FolderLock.h"
#include "common/Paths.h"
#include "common/TempFiles.h"
#include "download/LocalFolder.h"
#include "download/MailboxTransfer.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"

namespace tyq::download {
namespace {

// Writes one setting; a write that fails is said in a box, and the command
// ends there rather than go on with values the file does not hold.
bool save(const settings::ProfileStore& profiles, Prompter& prompter, const char* key,
          std::string_view value) {
    if (const auto failure = profiles.write(settings::kSection, key, value, settings::kFileName)) {
        prompter.ask(Prompt{"Cannot save the settings to " +
                                profiles.resolve(settings::kFileName).string() + ": " + *failure,
                            PromptButtons::Ok, PromptIcon::Error, PromptOwner::MainWindow});
        return false;
    }
    return true;
}

}  // namespace

void downloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                   Prompter& prompter, const std::filesystem::path& libraryFolder) {
    using namespace settings;
    // The delete question is asked only while it is 1 or more.
    int& counter = window.counters().downloads;
    // A folder the user agrees to create sends the command back to its start;
    // a loop in place of the call keeps the stack flat however often that is.
    for (;;) {
        const CSettings named(profiles);
        if (named.host().empty() && !save(profiles, prompter, kHost, kDefaultHost)) {
            return;
        }
        const auto fields = window.takeStepOneFields();
        std::string scrambled = fields.zipPass;
        scrambleZipPassword(scrambled);
        if (!save(profiles, prompter, kUser, fields.user) ||
            !save(profiles, prompter, kPass, fields.pass) ||
            !save(profiles, prompter, kZipPass, scrambled) ||
            (!window.aolChecked() && !save(profiles, prompter, kAol, "0"))) {
            return;
        }

        // One folder for the whole command: the one the questions name is the
        // one tested, created, cleaned and downloaded into. "~/" is home.
        const std::string folder = expandHome(fields.local);
        if (!folderExists(folder)) {
            const auto answer = prompter.ask(Prompt{"The directory " + folder +
                                                        " does not exist.\nDo you want to create "
                                                        "the directory?",
                                                    PromptButtons::YesNo, PromptIcon::None,
                                                    PromptOwner::MainWindow});
            if (answer != PromptAnswer::Yes) {
                window.focusProgressText();
                return;
            }
            createFolder(folder, prompter);
            counter = 0;
            continue;
        }

        // Stored as typed; read back whole, it is what the question names.
        if (!save(profiles, prompter, kLocal, fields.local)) {
            return;
        }
        const std::string stored =
            profiles.getString(kSection, kLocal, "", kWholeValueCapacity, kFileName);
        if (stored != fields.local) {
            prompter.ask(Prompt{"Cannot save the settings to " +
                                    profiles.resolve(kFileName).string() +
                                    ": the file does not keep the Location as typed",
                                PromptButtons::Ok, PromptIcon::Error, PromptOwner::MainWindow});
            return;
        }
        // Nothing in the folder is touched while another command works there.
        const FolderLock lock(folder, kCommandWait, window.stopToken());
        if (!lock.held() && window.stopToken().stop_requested()) {
            window.setProgressText(kStoppedText);
            return;
        }
        if (!lock.held()) {
            window.setProgressText(lock.busy() ? kFolderBusyText : kFolderLockFailedText);
            window.setProgressDetail(lock.busy() ? folder : lock.failure());
            return;
        }
        // What a killed command left, finished and removed before anything else.
        removeLeftovers(folder);
        if (counter >= 1) {
            const auto answer = prompter.ask(
                Prompt{"Do you want to delete QLM files in the directory  " + stored + "?",
                       PromptButtons::YesNo, PromptIcon::Question, PromptOwner::MainWindow});
            if (answer == PromptAnswer::Yes && !deleteQlmFiles(folder)) {
                window.setProgressText("Files not found");
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
        transferMailbox(window, profiles, libraryFolder, options);
        ++counter;
        return;
    }
}

}  // namespace tyq::download
