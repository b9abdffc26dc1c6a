#include "download/DownloadFiles.h"

#include <fcntl.h>

#include <cstdlib>

#include "MailboxFixture.h"
#include "common/TempFiles.h"
#include "download/LocalFolder.h"
#include "support/ScriptedPrompter.h"

namespace tyq::test {
namespace {

using download::downloadFiles;

const std::string kCreateQuestionTail = " does not exist.\nDo you want to create the directory?";

class DownloadCommand : public MailboxTest {
  protected:
    std::unique_ptr<FtpServer> server;
    ScriptedPrompter prompter;

    void SetUp() override {
        MailboxTest::SetUp();
        put("QLM0101.ZIP", "new archive");
        server = std::make_unique<FtpServer>(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
        useServer(*server);
        window.fields = {"mailbox", "secret", "zip", local.string()};
    }
    void run() { downloadFiles(window, profiles, prompter, libraries); }
    std::string setting(const char* key) {
        return profiles.getString(settings::kSection, key, "<none>", 256, settings::kFileName);
    }
    bool transferRan() const {
        return std::find(window.progress.begin(), window.progress.end(),
                         download::kVerifyingText) != window.progress.end();
    }
    std::string deleteQuestion() const {
        return "Do you want to delete QLM files in the directory  " + window.fields.local + "?";
    }
};

TEST_F(DownloadCommand, MissingFolderIsCreatedLevelByLevelWithoutTheDeleteQuestion) {
    window.fields.local = (root / "a" / "b" / "c").string();
    prompter.answers = {PromptAnswer::Yes};

    run();

    ASSERT_EQ(prompter.asked.size(), 1u);
    EXPECT_EQ(prompter.asked[0].text, "The directory " + window.fields.local + kCreateQuestionTail);
    EXPECT_EQ(prompter.asked[0].buttons, PromptButtons::YesNo);
    EXPECT_EQ(prompter.asked[0].icon, PromptIcon::None);
    EXPECT_EQ(prompter.asked[0].owner, PromptOwner::MainWindow);
    EXPECT_EQ(readFile(root / "a" / "b" / "c" / "QLM0101.ZIP"), "new archive");
    EXPECT_EQ(setting(settings::kLocal), window.fields.local);
    EXPECT_EQ(window.takes, 2);  // the command ran again from its start
    EXPECT_EQ(window.counts.downloads, 1);

    // The next download offers the delete question again.
    prompter.answers = {PromptAnswer::No};
    run();
    ASSERT_EQ(prompter.asked.size(), 2u);
    EXPECT_EQ(prompter.asked[1].text, deleteQuestion());
    EXPECT_EQ(prompter.asked[1].icon, PromptIcon::Question);
    EXPECT_EQ(prompter.asked[1].owner, PromptOwner::MainWindow);
    EXPECT_EQ(window.counts.downloads, 2);
}

TEST_F(DownloadCommand, FolderThatCannotBeMadeAsksAgainUntilNo) {
    writeFile(root / "file", "a file, not a folder");
    struct Case {
        std::string folder;
        const char* error;
    };
    const Case cases[] = {
        {"", download::kBlankDirectoryText},
        {(root / "file" / "sub" / "deeper").string(), download::kCannotCreateText},
    };
    for (const auto& c : cases) {
        prompter = ScriptedPrompter({PromptAnswer::Yes, PromptAnswer::No});
        window = FakeMainWindow{};
        window.fields = {"mailbox", "secret", "zip", c.folder};
        set(settings::kLocal, "before");

        run();

        const auto question = "The directory " + c.folder + kCreateQuestionTail;
        EXPECT_EQ(prompter.texts(), (std::vector<std::string>{question, c.error, question}));
        EXPECT_EQ(prompter.asked[1].icon, PromptIcon::Error);
        EXPECT_EQ(prompter.asked[1].buttons, PromptButtons::Ok);
        EXPECT_EQ(prompter.asked[1].owner, PromptOwner::None);
        EXPECT_EQ(window.progressFocused, 1);
        EXPECT_FALSE(transferRan());
        EXPECT_EQ(setting(settings::kLocal), "before");
        EXPECT_FALSE(fs::exists(log()));
    }
}

TEST_F(DownloadCommand, RelativeFolderAndTrailingSlashAreCreated) {
    for (const std::string& folder : {std::string("Data"), (root / "new" / "inner/").string()}) {
        prompter = ScriptedPrompter({PromptAnswer::Yes});
        window.fields.local = folder;
        run();
        EXPECT_EQ(prompter.texts().size(), 1u) << folder;  // the question only, no error
        EXPECT_TRUE(transferRan()) << folder;
    }
    EXPECT_TRUE(fs::is_directory(workDir / "Data"));
    EXPECT_EQ(readFile(workDir / "Data" / "QLM0101.ZIP"), "new archive");
    EXPECT_EQ(readFile(root / "new" / "inner" / "QLM0101.ZIP"), "new archive");
}

TEST_F(DownloadCommand, FoldersAreFoundAndMadeAfterTheCurrentDirectoryHasGone) {
    const auto fresh = (root / "fresh" / "inner").string();
    EXPECT_EXIT(  // in a child, so that the test's own current directory stays
        {
            fs::create_directory(root / "gone");
            fs::current_path(root / "gone");
            fs::remove(root / "gone");
            ScriptedPrompter child;
            const bool found = download::folderExists(local.string());
            const bool made = download::createFolder(fresh, child) && fs::is_directory(fresh);
            // A relative name cannot be made there: one error, no endless walk up.
            const bool refused =
                !download::createFolder("rel/sub", child) &&
                child.texts() == std::vector<std::string>{download::kCannotCreateText};
            std::_Exit(found && made && refused ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(DownloadCommand, DeletesQlmFilesInAnyLetterCase) {
    for (const char* name : {"QLM0101.ZIP", "qlmdata.txt", "QLMREAD", "Qlm.x", "data.zip"}) {
        writeFile(local / name, "old");
    }
    fs::create_directory(local / "QLMDIR");
    // A file named like our temporary files is a file like any other.
    writeFile(local / ".tyqlmftp-user", "");
    mailbox /= "empty";
    fs::create_directory(mailbox);
    server = std::make_unique<FtpServer>(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    useServer(*server);
    prompter.answers = {PromptAnswer::Yes};
    window.stop.request_stop();  // while the question was open

    run();

    EXPECT_EQ(prompter.texts(), std::vector<std::string>{deleteQuestion()});
    EXPECT_EQ(localNames(), (std::vector<std::string>{".tyqlmftp-user", "QLMDIR", "data.zip"}));
    EXPECT_EQ(window.progress,
              (std::vector<std::string>{download::kVerifyingText, download::kStoppedText}));
}

TEST_F(DownloadCommand, NothingToDeleteSaysSoAndGoesOn) {
    writeFile(local / "data.zip", "kept");
    prompter.answers = {PromptAnswer::Yes};
    run();
    ASSERT_GE(window.progress.size(), 2u);
    EXPECT_EQ(window.progress[0], "Files not found");
    EXPECT_EQ(window.progress[1], download::kVerifyingText);
    EXPECT_EQ(readFile(local / "QLM0101.ZIP"), "new archive");
    EXPECT_EQ(readFile(local / "data.zip"), "kept");
}

TEST_F(DownloadCommand, SettingsWrittenInOrder) {
    // A fresh settings file: the default host first, the transfer then fails
    // to reach it; the folder is missing and the user declines.
    fs::remove(profiles.resolve(settings::kFileName));
    window.fields = {"user1", "pass word", "zip", (root / "missing").string()};
    prompter.answers = {PromptAnswer::No};
    run();
    std::string zip = "zip";
    for (auto& c : zip) {
        c = static_cast<char>(c ^ 0xA7);
    }
    EXPECT_EQ(readFile(profiles.resolve(settings::kFileName)),
              std::string("[QLMORVMAIL]\nQLMHost=") + settings::kDefaultHost +
                  "\nUser=user1\nPass=pass word\nFileUnZipPass=" + zip + "\nAOL=0\n");

    // The folder exists: Local follows; AOL ticked keeps the stored value.
    set(settings::kAol, "1");
    window.aol = true;
    window.fields.local = local.string();
    prompter.answers = {PromptAnswer::No};
    run();
    EXPECT_EQ(readFile(profiles.resolve(settings::kFileName)),
              std::string("[QLMORVMAIL]\nQLMHost=") + settings::kDefaultHost +
                  "\nUser=user1\nPass=pass word\nFileUnZipPass=" + zip +
                  "\nAOL=1\nLocal=" + local.string() + "\n");
    // No server address yet: the user ID and password are not to blame.
    EXPECT_EQ(window.progressText(), download::kNoSecureConnectionText);
}

// One folder for the whole command: the one the delete question names is the
// one cleaned and downloaded into, however long it is or however it was
// typed; a settings write that fails ends the command with its reason,
// unless the file holds every value the command reads back (the user ID goes
// from the field): then the detail says so.
TEST_F(DownloadCommand, OneFolderThroughoutOrNone) {
    struct Case {
        const char* name;
        std::string typed;  // the Location field
        fs::path real;      // where the files must go; empty: nowhere
        fs::path settings;
    };
    const fs::path deep = local / std::string(120, 'a') / std::string(120, 'b') / "QLM data";
    const fs::path home = root / "home";
    fs::create_directories(root / "read-only");
    set(settings::kAol, "0");
    writeFile(root / "read-only" / "TYFTP.INI", readFile(profiles.resolve(settings::kFileName)) +
                                                    "User=another\nFileUnZipPass=\xDD\xCE\xD7\n");
    const ReadOnlyFolder readOnly(root / "read-only");
    ASSERT_TRUE(readOnly.made());
    const Case cases[] = {
        {"longer than 255 bytes", deep.string(), deep, root / "settings"},
        {"home folder", "~/QLM", home / "QLM", root / "settings"},
        {"settings cannot be written", local.string(), {}, root / "blocked"},
        {"read-only settings, another user ID", local.string(), local, root / "read-only"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(c.real.empty() ? local : c.real);
        writeFile((c.real.empty() ? local : c.real) / "QLMOLD.TXT", "old");
        setenv("HOME", home.c_str(), 1);
        settings::ProfileStore store(c.settings);
        writeFile(root / "blocked", "a file where the settings folder should be");
        window.fields.local = c.typed;
        prompter.asked.clear();
        prompter.answers = {PromptAnswer::Yes};
        downloadFiles(window, store, prompter, libraries);

        if (c.real.empty()) {
            ASSERT_EQ(prompter.asked.size(), 1u);
            EXPECT_EQ(
                prompter.asked[0].text.rfind("Cannot save the settings to " +
                                                 (root / "blocked" / "TYFTP.INI").string() + ": ",
                                             0),
                0u)
                << prompter.asked[0].text;
            EXPECT_EQ(prompter.asked[0].icon, PromptIcon::Error);
            EXPECT_TRUE(fs::exists(local / "QLMOLD.TXT"));
            EXPECT_FALSE(fs::exists(local / "QLM0101.ZIP"));
            prompter.answers.clear();
            continue;
        }
        ASSERT_EQ(prompter.asked.size(), 1u);
        EXPECT_EQ(prompter.asked[0].text,
                  "Do you want to delete QLM files in the directory  " + c.typed + "?");
        EXPECT_FALSE(fs::exists(c.real / "QLMOLD.TXT"));
        EXPECT_EQ(readFile(c.real / "QLM0101.ZIP"), "new archive");
        EXPECT_EQ(store.getString(settings::kSection, settings::kLocal, "",
                                  settings::kWholeValueCapacity, settings::kFileName),
                  c.typed);
        EXPECT_EQ(window.detail.rfind("Cannot save the settings to ", 0),
                  c.settings == root / "settings" ? std::string::npos : 0u)
            << window.detail;
    }
}

}  // namespace
}  // namespace tyq::test
