// Full file systems (small tmpfs mounts, so root only) under the settings file
// and under the transfer log once the transfer is under way: the settings file
// stays whole, the command ends with the disk-full error, nothing already in
// the folders is lost and no partial file is left.

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <variant>

#include "commands/UnzipCommand.h"
#include "common/DiskFullError.h"
#include "download/MailboxFixture.h"
#include "settings/CSettings.h"
#include "unzip/UnzipCommand.h"
#include "unzip/UnzipLibrary.h"
#include "unzip/ZipFixtures.h"

namespace tyq::test {
namespace {

// A tmpfs of `size` mounted over `at` for the object's life.
class SmallDisk {
  public:
    SmallDisk(fs::path at, const char* size) : at_(std::move(at)) {
        fs::create_directories(at_);
        mounted_ = ::geteuid() == 0 && ::mount("tmpfs", at_.c_str(), "tmpfs", 0,
                                               (std::string("size=") + size).c_str()) == 0;
        error_ = errno;
    }
    ~SmallDisk() {
        if (mounted_) {
            ::umount2(at_.c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    // Empty when mounted, else why not.
    std::string unavailable() const {
        if (mounted_) {
            return {};
        }
        return ::geteuid() != 0 ? "mounting a tmpfs needs root"
                                : std::string("cannot mount a tmpfs: ") + std::strerror(error_);
    }
    // Fills the file system, then frees `room` bytes of it again.
    void fill(std::size_t room = 0) const {
        const int fd = ::open((at_ / ".filler").c_str(), O_WRONLY | O_CREAT, 0600);
        const std::string block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        const off_t size = ::lseek(fd, 0, SEEK_END);
        // A filler that cannot give the room back would make every test
        // here about something else.
        if (::ftruncate(fd, size - static_cast<off_t>(room)) != 0) {
            ::close(fd);
            throw std::runtime_error("cannot free room on the full disk");
        }
        ::close(fd);
    }
    // The names in the folder, the filler left out.
    std::vector<std::string> names(const fs::path& folder) const {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().filename() != ".filler") {
                out.push_back(entry.path().filename().string());
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    fs::path at_;
    bool mounted_ = false;
    int error_ = 0;
};

TEST(FullDiskSettings, AWriteThatDoesNotFitLeavesTheFileWhole) {
    TempDir root;
    SmallDisk disk(root / "config", "64k");
    if (const auto why = disk.unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const settings::ProfileStore store(root / "config");
    ASSERT_TRUE(store.writeString(settings::kSection, settings::kUser, "someone", "TYFTP.INI"));
    ASSERT_TRUE(store.writeString(settings::kSection, settings::kLocal, "/data", "TYFTP.INI"));
    writeFile(root / "config" / "TYFTP.INI",
              readFile(root / "config" / "TYFTP.INI") + "; a note of the user's\n");
    const std::string before = readFile(root / "config" / "TYFTP.INI");

    // No room at all, and room for part of the new file.
    for (const std::size_t room : {std::size_t{0}, std::size_t{4096}}) {
        SCOPED_TRACE(room);
        fs::remove(root / "config" / ".filler");
        disk.fill(room);
        EXPECT_FALSE(store.writeString(settings::kSection, settings::kLocal,
                                       std::string(12000, 'L'), "TYFTP.INI"));
        EXPECT_EQ(readFile(root / "config" / "TYFTP.INI"), before);
        EXPECT_EQ(disk.names(root / "config"), std::vector<std::string>{"TYFTP.INI"});
        EXPECT_EQ(settings::read(store, settings::Key::User), "someone");
        EXPECT_EQ(settings::read(store, settings::Key::Local), "/data");
    }
}

class FullDiskLog : public MailboxTest {};

TEST_F(FullDiskLog, LogFillingUpMidTransferEndsTheCommandKeepingTheFiles) {
    SmallDisk disk(workDir, "64k");
    if (const auto why = disk.unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    // The first file arrives; then the log of the failed ones outgrows the
    // little room left.
    put("A.ZIP", "first archive");
    std::string listing = "A.ZIP\r\n";
    for (int i = 0; i < 40; ++i) {
        listing +=
            std::string(200, static_cast<char>('a' + i % 26)) + std::to_string(i) + ".ZIP\r\n";
    }
    writeFile(root / "listing", listing);
    writeFile(local / "OLD.ZIP", "already here");
    disk.fill(4096);
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret",
                                          {"--listing", (root / "listing").string()}));
    useServer(server);

    const std::string path = workDir.string() + "/QLMTYFTP.Log";
    try {
        commands::transferMailbox(window, profiles, libraries, options());
        ADD_FAILURE() << "no disk-full error";
    } catch (const DiskFullError& error) {
        EXPECT_EQ(error.path(), path);
    }
    EXPECT_NE(window.progressText(), download::kFinishedText);
    // The log begins as it should and is closed.
    const std::string written = readFile(path);
    EXPECT_EQ(
        written.rfind(std::string(kStart) + "\r\nNumber of Files in the Mail Box:41\r\n 2 ", 0),
        0u);
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        EXPECT_NE(fs::read_symlink(entry.path(), error), fs::path(path));
    }
    // What arrived stays, what was there stays, nothing partial.
    EXPECT_EQ(localNames(), (std::vector<std::string>{"A.ZIP", "OLD.ZIP"}));
    EXPECT_EQ(readFile(local / "A.ZIP"), "first archive");
    EXPECT_EQ(readFile(local / "OLD.ZIP"), "already here");
}

TEST(FullDiskUnzip, AnArchiveThatDoesNotFitStaysAndNothingElseIsLost) {
    TempDir root;
    const fs::path local = root / "local";
    SmallDisk disk(local, "2m");
    if (const auto why = disk.unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    TempDir work;
    makeZip(local / "QLM1.ZIP", {{"SMALL.TXT", "small"}});
    // 64 MiB of zeros in about 64 KiB: more than the whole disk once inflated.
    runOrThrow("/usr/bin/python3 " + quoted(std::string(TYQ_TEST_TOOLS) + "/hostile_zip.py") + " " +
               quoted((work / "QLM2.ZIP").string()) + " bomb " + std::to_string(64 << 20));
    fs::copy_file(work / "QLM2.ZIP", local / "QLM2.ZIP");
    writeFile(local / "KEEP.TXT", "present before");
    const settings::ProfileStore profiles(root / "settings");
    FakeMainWindow window;
    window.fields = {"user", "ftp", "", local.string()};

    const auto outcome = commands::unzipDownloadFiles(window, profiles, TYQ_BIN_DIR);

    const auto* extraction = std::get_if<unzip::ExtractionOutcome>(&outcome.result);
    ASSERT_NE(extraction, nullptr);
    ASSERT_EQ(extraction->failures.size(), 1u);
    EXPECT_EQ(extraction->failures[0].name, "QLM2.ZIP");
    EXPECT_EQ(extraction->failures[0].code, unzip::code::kDiskFull);
    EXPECT_NE(window.progressText(), "Unzipping Finished!");
    EXPECT_EQ(disk.names(local), (std::vector<std::string>{"KEEP.TXT", "QLM2.ZIP", "SMALL.TXT"}));
    EXPECT_EQ(readFile(local / "KEEP.TXT"), "present before");
    EXPECT_EQ(readFile(local / "SMALL.TXT"), "small");
    EXPECT_TRUE(readFile(local / "QLM2.ZIP") == readFile(work / "QLM2.ZIP"));
}

}  // namespace
}  // namespace tyq::test
