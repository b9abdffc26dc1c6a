#include "commands/DownloadCommand.h"

#include <fcntl.h>

#include <cstdlib>

#include <optional>

#include "common/FolderLock.h"
#include "common/StagingFolder.h"
#include "desktop/Trash.h"
#include "download/LocalFolder.h"
#include "download/MailboxFixture.h"
#include "support/ScriptedPrompter.h"

namespace tyq::test {
namespace {

using commands::downloadFiles;

const std::string kCreateQuestionTail = " does not exist.\nDo you want to create the directory?";

class DownloadCommand : public MailboxTest {
  protected:
    std::unique_ptr<FtpServer> server;
    ScriptedPrompter prompter;

    // The desktop's trash, in the test's own folder.
    fs::path home = root / "home";

    void SetUp() override {
        MailboxTest::SetUp();
        fs::create_directories(home / "data");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        put("QLM0101.ZIP", "new archive");
        server = std::make_unique<FtpServer>(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
        useServer(*server);
        window.fields = {"mailbox", "secret", "zip", local.string()};
    }
    void run() { downloadFiles(window, profiles, prompter, libraries, desktop::moveToTrash); }
    std::string setting(const char* key) {
        return profiles.getString(settings::kSection, key, "<none>", 256, settings::kFileName);
    }
    bool transferRan() const {
        return std::find(window.progress.begin(), window.progress.end(),
                         download::kVerifyingText) != window.progress.end();
    }
    // The delete question for a folder holding QLM0101.ZIP alone.
    std::string deleteQuestion(const std::string& folder) const {
        return "Do you want to move 1 QLM file in the directory " + folder +
               " to the trash?\nQLM0101.ZIP";
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
    EXPECT_EQ(prompter.asked[1].text, deleteQuestion(window.fields.local));
    EXPECT_EQ(prompter.asked[1].icon, PromptIcon::Question);
    EXPECT_EQ(prompter.asked[1].owner, PromptOwner::MainWindow);
    EXPECT_EQ(prompter.asked[1].defaultAnswer, PromptAnswer::No);
    EXPECT_EQ(window.counts.downloads, 2);
}

// An empty Location is said before any question; a folder that cannot be
// made is named with the reason, once, and the command ends.
TEST_F(DownloadCommand, FolderThatCannotBeMadeIsNamedOnceAndEndsTheCommand) {
    writeFile(root / "file", "a file, not a folder");
    struct Case {
        std::string folder;
        std::vector<std::string> texts;
    };
    const std::string deeper = (root / "file" / "sub" / "deeper").string();
    const Case cases[] = {
        {"", {download::kBlankDirectoryText}},
        {deeper,
         {"The directory " + deeper + kCreateQuestionTail,
          std::string(download::kCannotCreateText) + "\n" + (root / "file").string() +
              "\nFile exists"}},
    };
    for (const auto& c : cases) {
        prompter = ScriptedPrompter({PromptAnswer::Yes});
        window = FakeMainWindow{};
        window.fields = {"mailbox", "secret", "zip", c.folder};
        set(settings::kLocal, "before");

        run();

        EXPECT_EQ(prompter.texts(), c.texts);
        EXPECT_EQ(prompter.asked.back().icon, PromptIcon::Error);
        EXPECT_EQ(prompter.asked.back().buttons, PromptButtons::Ok);
        EXPECT_EQ(prompter.asked.back().owner, PromptOwner::None);
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
                !download::createFolder("rel/sub", child) && child.texts().size() == 1 &&
                child.texts()[0].starts_with(std::string(download::kCannotCreateText) + "\nrel\n");
            std::_Exit(found && made && refused ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// QLM files in any letter case go to the desktop's trash on Yes: the home
// trash, made when missing, or the one at the top of another disk. Where the
// folder has no trash (a system file system, a read-only trash), or for a
// link, only a second Yes deletes them. Both questions are No unless chosen;
// folders and other names stay; nothing lands anywhere but a trash.
TEST_F(DownloadCommand, DeletesQlmFilesInAnyLetterCase) {
    // The other file systems: a tmpfs the desktop keeps no trash on, with a
    // file where its trash would go, and a disk of its own.
    const OtherFileSystem other(root / "other");
    // The disk is mounted where a user's would be: GLib counts a mount point
    // under /dev/ (where the sanitizer stages keep their files) a system one,
    // without a trash.
    const TempDir diskRoot("/tmp");
    const OtherFileSystem disk(diskRoot / "disk", true);
    EXPECT_TRUE(other.mounted() || ::geteuid() != 0);
    writeFile(root / "other" / (".Trash-" + std::to_string(::getuid())), "no trash here");
    writeFile(root / "victim", "outside");
    mailbox /= "empty";
    fs::create_directory(mailbox);
    server = std::make_unique<FtpServer>(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    useServer(*server);
    using enum PromptAnswer;
    // A name with spaces and a byte that is no UTF-8.
    const std::string odd = "QLM READ\xff";
    const std::string shown = odd + ", Qlm.x, QLM0101.ZIP, and 2 more";
    const std::string link =
        "1 QLM file could not be moved to the trash.\nDo you want to delete "
        "it for good?\nQLMLINK";
    const std::string noTrash =
        " has no trash.\nDo you want to delete 5 QLM files there for "
        "good?\n" +
        shown;
    const fs::path elsewhere = root / "other" / "local";
    const fs::path onDisk = diskRoot / "disk" / "local";
    const fs::path homeTrash = home / "data" / "Trash";
    const fs::path diskTrash = diskRoot / "disk" / (".Trash-" + std::to_string(::getuid()));
    enum class Trash { Kept, NoDataFolder, ReadOnly };
    struct Case {
        fs::path folder;
        Trash trash;
        std::deque<PromptAnswer> answers;
        std::string second;  // the second question; after the folder's name for no trash
        std::size_t left;    // names left in the folder
        fs::path trashedTo;  // the trash the QLM files are in; empty: none
        std::string path;    // the odd name's Path= in its trash info
    };
    const std::string escaped = "QLM%20READ%FF";
    const Case cases[] = {
        {local, Trash::Kept, {Yes, Yes}, link, 3, homeTrash, (local / escaped).string()},
        {local, Trash::NoDataFolder, {Yes, No}, link, 4, homeTrash, (local / escaped).string()},
        {local, Trash::ReadOnly, {Yes, No}, noTrash, 8, {}, {}},
        {local, Trash::Kept, {No}, "", 8, {}, {}},
        {elsewhere, Trash::Kept, {Yes, No}, noTrash, 8, {}, {}},
        {elsewhere, Trash::Kept, {Yes, Yes}, noTrash, 3, {}, {}},
        {onDisk, Trash::Kept, {Yes, Yes}, link, 3, diskTrash, "local/" + escaped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder.string() + " " + std::to_string(c.answers.size()));
        if ((c.folder == elsewhere && !other.mounted()) ||
            (c.folder == onDisk && !disk.mounted())) {
            continue;  // mounting needs root
        }
        fs::remove_all(c.trash == Trash::NoDataFolder ? home / "data" : homeTrash);
        fs::create_directories(homeTrash / "files");
        fs::create_directories(homeTrash / "info");
        std::optional<ReadOnlyFolder> readOnly;
        if (c.trash == Trash::ReadOnly) {
            readOnly.emplace(homeTrash / "info");
            ASSERT_TRUE(readOnly->made());
        } else if (c.trash == Trash::NoDataFolder) {
            fs::remove_all(home / "data");
        }
        fs::remove_all(c.folder);
        fs::create_directories(c.folder / "QLMDIR");
        for (const std::string& name : {std::string("QLM0101.ZIP"), std::string("qlmdata.txt"), odd,
                                        std::string("Qlm.x"), std::string("data.zip")}) {
            writeFile(c.folder / name, "old");
        }
        fs::create_symlink(root / "victim", c.folder / "QLMLINK");
        // A file named like our temporary files is a file like any other.
        writeFile(c.folder / ".tyqlmftp-user", "");
        window = FakeMainWindow{};
        window.fields = {"mailbox", "secret", "zip", c.folder.string()};
        prompter = ScriptedPrompter(c.answers);
        window.stop.request_stop();  // while the question was open

        run();

        std::vector<std::string> questions = {"Do you want to move 5 QLM files in the directory " +
                                              c.folder.string() + " to the trash?\n" + shown};
        if (!c.second.empty()) {
            questions.push_back(c.second == link ? link
                                                 : "The directory " + c.folder.string() + noTrash);
        }
        EXPECT_EQ(prompter.texts(), questions);
        for (std::size_t i = 0; i < prompter.asked.size(); ++i) {
            EXPECT_EQ(prompter.asked[i].defaultAnswer, No);
            EXPECT_EQ(prompter.asked[i].icon, i == 0 ? PromptIcon::Question : PromptIcon::Warning);
        }
        const auto left = localNames(c.folder);
        EXPECT_EQ(left.size(), c.left);
        const std::vector<std::string> others = {".tyqlmftp-user", "QLMDIR", "data.zip"};
        EXPECT_TRUE(c.left != 3 || left == others);
        for (const fs::path& trash : {homeTrash, diskTrash}) {
            const bool here = trash == c.trashedTo;
            EXPECT_EQ(fs::exists(trash / "files" / "qlmdata.txt"), here) << trash;
            EXPECT_EQ(fs::exists(trash / "info" / (odd + ".trashinfo")), here) << trash;
        }
        if (!c.trashedTo.empty()) {
            EXPECT_NE(readFile(c.trashedTo / "info" / (odd + ".trashinfo"))
                          .find("\nPath=" + c.path + "\n"),
                      std::string::npos);
        }
        // No trash of its own made in the current directory.
        EXPECT_FALSE(fs::exists(workDir / "files") || fs::exists(workDir / "info"));
        EXPECT_EQ(readFile(root / "victim"), "outside");
        EXPECT_EQ(window.progress,
                  (std::vector<std::string>{download::kVerifyingText, download::kStoppedText}));
    }
}

TEST_F(DownloadCommand, NothingToDeleteAsksNothingAndGoesOn) {
    writeFile(local / "data.zip", "kept");
    run();  // a question would fail: none is scripted
    ASSERT_GE(window.progress.size(), 1u);
    EXPECT_EQ(window.progress[0], download::kVerifyingText);
    EXPECT_EQ(readFile(local / "QLM0101.ZIP"), "new archive");
    EXPECT_EQ(readFile(local / "data.zip"), "kept");
}

// A collection working in the folder is waited out until it ends or Cancel;
// it ends, or Cancel comes, once the waiting text is shown.
TEST_F(DownloadCommand, WaitsForACollectionInTheFolder) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancel" : "collection ends");
        fs::remove(local / "QLM0101.ZIP");
        window.progress.clear();
        std::optional<FolderLock> held;
        held.emplace(local, std::chrono::milliseconds(0), std::stop_token{}, kCollectionHolder);
        window.onText = [&](const std::string& text) {
            if (text == kWaitingForCollectionText) {
                EXPECT_EQ(window.detail, local.string());
                cancel ? static_cast<void>(window.stop.request_stop()) : held.reset();
            }
        };
        run();
        EXPECT_EQ(window.progress.at(0), kWaitingForCollectionText);
        EXPECT_EQ(fs::exists(local / "QLM0101.ZIP"), !cancel);
        if (cancel) {
            EXPECT_EQ(window.progress.back(), download::kStoppedText);
            EXPECT_EQ(window.detail, download::kNothingDownloadedText);
        }
    }
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
        downloadFiles(window, store, prompter, libraries, desktop::moveToTrash);

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
        EXPECT_EQ(prompter.asked[0].text, "Do you want to move 1 QLM file in the directory " +
                                              c.typed + " to the trash?\nQLMOLD.TXT");
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
