#include "download/DownloadFiles.h"

#include "common/TempFiles.h"
#include "download/LocalFolder.h"
#include "download/MailboxTransfer.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"

namespace tyq::download {
void downloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                   Prompter& prompter, const std::filesystem::path& libraryFolder) {
    using namespace settings;
    // The delete question is asked only while it is 1 or more.
    int& counter = window.counters().downloads;
    // A folder the user agrees to create sends the command back to its start;
    // a loop in place of the call keeps the stack flat however often that is.
    for (;;) {
        const CSettings named(profiles);
        if (named.host().empty()) {
            profiles.writeString(kSection, kHost, kDefaultHost, kFileName);
        }
        const auto fields = window.takeStepOneFields();
        profiles.writeString(kSection, kUser, fields.user, kFileName);
        profiles.writeString(kSection, kPass, fields.pass, kFileName);
        std::string scrambled = fields.zipPass;
        scrambleZipPassword(scrambled);
        profiles.writeString(kSection, kZipPass, scrambled, kFileName);
        if (!window.aolChecked()) {
            profiles.writeString(kSection, kAol, "0", kFileName);
        }

        const auto& folder = fields.local;
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

        profiles.writeString(kSection, kLocal, folder, kFileName);
        if (counter >= 1) {
            const auto answer = prompter.ask(Prompt{
                "Do you want to delete QLM files in the directory  " + named.localFolder() + "?",
                PromptButtons::YesNo, PromptIcon::Question, PromptOwner::MainWindow});
            if (answer == PromptAnswer::Yes && !deleteQlmFiles(folder)) {
                window.setProgressText("Files not found");
            }
        }
        // What a run that was killed left behind; a running one's files stay.
        removeLeftovers(folder);
        // Its outcome is in the progress text and the log.
        transferMailbox(window, profiles, libraryFolder);
        ++counter;
        return;
    }
}

}  // namespace tyq::download
