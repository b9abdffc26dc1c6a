#include "download/TransferLog.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "MailboxFixture.h"
#include "common/DiskFullError.h"
#include "download/CollectState.h"

// glibc keeps the search path of a locale loaded through LOCPATH for good;
// LeakSanitizer would call that a leak of this test.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__argz_add_sep\n";
}

namespace tyq::test {
namespace {

using download::formatStamp;
using download::TransferLog;

std::tm at(int hour, int minute) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_wday = 0;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

TEST(TransferLogStamp, TwelveHourClock) {
    const std::pair<std::tm, const char*> cases[] = {
        {at(0, 5), "Sunday, December 06, 2026, 12:05 AM"},
        {at(12, 30), "Sunday, December 06, 2026, 12:30 PM"},
        {at(13, 40), "Sunday, December 06, 2026, 01:40 PM"},
        {at(23, 59), "Sunday, December 06, 2026, 11:59 PM"},
    };
    for (const auto& [time, text] : cases) {
        EXPECT_EQ(formatStamp(download::kStartStampPattern, time), text);
        EXPECT_EQ(formatStamp(download::kEndStampPattern, time), std::string("\n") + text);
    }
}

TEST(TransferLogStamp, EnglishWhateverTheProcessLocale) {
    // A German locale of our own, so the test does not depend on installed ones.
    TempDir locales;
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + (locales / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        GTEST_SKIP() << "localedef cannot make de_DE.UTF-8 here";
    }
    setenv("LOCPATH", locales.path().c_str(), 1);
    // The thread's locale is what the C library's plain formatting follows.
    const locale_t german = newlocale(LC_ALL_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
    unsetenv("LOCPATH");
    ASSERT_NE(german, static_cast<locale_t>(0));
    const locale_t previous = uselocale(german);
    const auto time = at(13, 40);
    char processText[64] = "";
    std::strftime(processText, sizeof processText, "%A", &time);
    const auto stamp = formatStamp(download::kStartStampPattern, time);
    const bool stillGerman = uselocale(static_cast<locale_t>(0)) == german;
    uselocale(previous);
    freelocale(german);

    EXPECT_STREQ(processText, "Sonntag");
    EXPECT_EQ(stamp, "Sunday, December 06, 2026, 01:40 PM");
    EXPECT_TRUE(stillGerman);  // left alone
}

TEST(TransferLogStamp, TooLongGivesNoStamp) {
    const std::string pattern(64, 'x');
    EXPECT_EQ(formatStamp((pattern + pattern).c_str(), at(1, 1)), "");
    EXPECT_EQ(formatStamp((pattern + pattern.substr(1)).c_str(), at(1, 1)).size(), 127u);
}

TEST(TransferLogFile, LineFeedsBecomeCrLfAndCarriageReturnsStay) {
    TempDir dir;
    const auto path = (dir / "QLMTYFTP.Log").string();
    writeFile(path, "an earlier run, longer than this one");
    {
        TransferLog log(path);
        ASSERT_TRUE(log.create());
        EXPECT_EQ(readFile(path), "");
        log.write("a\tb\n");
        log.write("\nc\r\nd");
        log.write("");
    }
    EXPECT_EQ(readFile(path), "a\tb\r\n\r\nc\r\r\nd");
}

TEST(TransferLogFile, HeldExclusivelyWhileOpen) {
    TempDir dir;
    const auto path = (dir / "QLMTYFTP.Log").string();
    TransferLog first(path);
    ASSERT_TRUE(first.create());
    first.write("first\n");

    TransferLog second(path);
    EXPECT_FALSE(second.create());
    second.write("second");  // goes nowhere
    first.write("more");
    EXPECT_EQ(readFile(path), "first\r\nmore");

    first.close();
    EXPECT_TRUE(second.create());
    EXPECT_EQ(readFile(path), "");
}

TEST(TransferLogFile, CreationFailureLeavesALogThatWritesNothing) {
    TempDir dir;
    // Under the log's name: a planted link, a FIFO nobody reads, a folder.
    writeFile(dir / "victim", "kept");
    fs::create_symlink(dir / "victim", dir / "link");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    fs::create_directory(dir / "folder");
    for (const std::string& path :
         {(dir / "missing" / "QLMTYFTP.Log").string(), std::string(), (dir / "link").string(),
          (dir / "fifo").string(), (dir / "folder").string()}) {
        TransferLog log(path);
        EXPECT_FALSE(log.create()) << path;
        EXPECT_NO_THROW(log.write("text\n"));
    }
    EXPECT_EQ(readFile(dir / "victim"), "kept");
}

TEST(TransferLogFile, PathIsTheCurrentDirectoryPlusTheName) {
    TempDir dir;
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const auto inDir = download::transferLogPath();
    std::filesystem::current_path("/");
    const auto inRoot = download::transferLogPath();
    std::filesystem::current_path(saved);
    EXPECT_EQ(inDir, dir.path().string() + "/QLMTYFTP.Log");
    EXPECT_EQ(inRoot, "//QLMTYFTP.Log");
}

// A full file system as the current directory: a small tmpfs, filled up.
class FullDisk : public MailboxTest {
  protected:
    fs::path mountPoint = root / "full";
    bool mounted = false;

    void SetUp() override {
        MailboxTest::SetUp();
        if (geteuid() != 0) {
            GTEST_SKIP() << "mounting a tmpfs needs root";
        }
        fs::create_directory(mountPoint);
        if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
        mounted = true;
    }
    void fill() {
        const int fd = open((mountPoint / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
        const std::string block(4096, 'x');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        close(fd);
    }
    void TearDown() override {
        MailboxTest::TearDown();
        if (mounted) {
            umount2(mountPoint.c_str(), MNT_DETACH);
        }
    }

    // Whether any descriptor of this process still refers to the file.
    static bool heldOpen(const fs::path& file) {
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (fs::read_symlink(entry.path(), error) == file) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(FullDisk, FailedLogWriteLeavesTheTransferWithTheLogsPath) {
    fill();
    fs::current_path(mountPoint);
    const auto path = mountPoint.string() + "/QLMTYFTP.Log";
    try {
        commands::transferMailbox(window, profiles, libraries, options());
        ADD_FAILURE() << "no error";
    } catch (const DiskFullError& error) {
        EXPECT_EQ(error.path(), path);
        EXPECT_STREQ(error.what(), ("Disk full while accessing " + path + ".").c_str());
    }
    EXPECT_EQ(window.progress, std::vector<std::string>{download::kVerifyingText});
    EXPECT_TRUE(fs::exists(path));
    EXPECT_FALSE(heldOpen(path));
}

TEST_F(FullDisk, DownloadToAFullFolderFailsWithoutLeftovers) {
    put("BIG.ZIP", std::string(256 * 1024, 'b'));
    put("SMALL.ZIP", "s");
    writeFile(mountPoint / "BIG.ZIP", "old");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    useServer(server);
    set(settings::kLocal, mountPoint.string());

    EXPECT_TRUE(commands::transferMailbox(window, profiles, libraries, options()));
    EXPECT_EQ(log(),
              std::string(kStart) + "\r\nNumber of Files in the Mail Box:2\r\n 1 BIG.ZIP" + kEnd);
    EXPECT_EQ(readFile(mountPoint / "BIG.ZIP"), "old");
    EXPECT_EQ(readFile(mountPoint / "SMALL.ZIP"), "s");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(mountPoint)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"BIG.ZIP", "SMALL.ZIP"}));
}

// What a collection takes for new, and the record surviving a round trip
// through its file whatever the server named its files.
TEST(CollectState, NewFilesAndTheRecordFile) {
    using download::ListedFile;
    TempDir dir;
    const auto folder = dir.path() / "state";
    download::CollectState state(folder);
    EXPECT_EQ(state.load(), std::nullopt);  // none yet: an empty record
    const std::string odd = "A\tB\n%41.ZIP";
    state.record({"A.ZIP", 100, "20261207101500"}, true, 1000);
    state.record({"NOTIME.ZIP", 7, ""}, true, 1000);
    state.record({"BAD.ZIP", 5, "20261207101500"}, false, 1000);
    state.record({odd, 9, "20261207101500"}, true, 1000);
    state.recordRun({2000, 3, "done"});
    ASSERT_EQ(state.save(), std::nullopt);
    struct stat info {};
    ASSERT_EQ(::stat(state.file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    download::CollectState again(folder);
    ASSERT_EQ(again.load(), std::nullopt);
    ASSERT_EQ(again.files().size(), 4u);
    EXPECT_EQ(again.files()[3].file.name, odd);
    ASSERT_TRUE(again.lastRun());
    EXPECT_EQ(again.lastRun()->newFiles, 3);
    EXPECT_EQ(again.lastRun()->ended, "done");
    const std::pair<ListedFile, bool> cases[] = {
        {{"A.ZIP", 100, "20261207101500"}, false},
        {{"A.ZIP", 100, ""}, false},               // no time told: name and size decide
        {{"A.ZIP", 100, "20261208101500"}, true},  // same size, a new time
        {{"A.ZIP", 100, "Dec 07 2026"}, false},    // a LIST's form half a year on
        {{"A.ZIP", 100, "Dec 08 2026"}, true},
        {{"A.ZIP", 101, "20261207101500"}, true},
        {{"NOTIME.ZIP", 7, "20261208000000"}, false},
        {{"BAD.ZIP", 5, "20261207101500"}, true},  // its fetch failed
        {{"NEW.ZIP", 1, ""}, true},
        {{odd, 9, "20261207101500"}, false},
    };
    for (const auto& [listed, isNew] : cases) {
        EXPECT_EQ(again.isNew(listed), isNew) << listed.name << " " << listed.modified;
    }

    // Lines added as each file ends: the later line of a name wins, an
    // archive waiting for its extraction is not fetched again, and the
    // files the mailbox no longer lists go with the next rewrite.
    using download::FileWork;
    ASSERT_EQ(again.append({"A.ZIP", 100, "20261207101500"}, FileWork::Failed, 3000), std::nullopt);
    ASSERT_EQ(again.append({"QLMW.ZIP", 3, ""}, FileWork::Waiting, 3000), std::nullopt);
    download::CollectState added(folder);
    ASSERT_EQ(added.load(), std::nullopt);
    EXPECT_EQ(added.files().size(), 5u);
    EXPECT_TRUE(added.isNew({"A.ZIP", 100, "20261207101500"}));
    EXPECT_FALSE(added.isNew({"QLMW.ZIP", 3, ""}));
    ASSERT_EQ(added.extracted("QLMW.ZIP", 4000), std::nullopt);
    added.keepOnly({"QLMW.ZIP", "NEW.ZIP"});
    ASSERT_EQ(added.save(), std::nullopt);
    download::CollectState kept(folder);
    ASSERT_EQ(kept.load(), std::nullopt);
    ASSERT_EQ(kept.files().size(), 1u);
    EXPECT_TRUE(kept.files()[0].ok);
    EXPECT_EQ(kept.lastRun()->ended, "done");
}

}  // namespace
}  // namespace tyq::test
