#include "settings/ProfileStore.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <tuple>
#include <vector>

#include "support/TempDir.h"

namespace tyq::settings {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;
using namespace std::string_literals;

constexpr char kSec[] = "QLMORVMAIL";
constexpr char kFile[] = "TYFTP.INI";

struct ReadCase {
    const char* name;
    const char* file;  // nullptr: no file
    const char* key;
    const char* defaultValue;
    std::size_t capacity;
    std::string expected;
};

class ProfileReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileReadTest, ReadsLikeTheProfileCall) {
    const auto& c = GetParam();
    TempDir dir;
    if (c.file != nullptr) {
        writeFile(dir / kFile, c.file);
    }
    ProfileStore store(dir.path());
    EXPECT_EQ(store.getString(kSec, c.key, c.defaultValue, c.capacity, kFile), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileReadTest,
    ::testing::Values(
        ReadCase{"NoFile", nullptr, "User", "dflt", 256, "dflt"},
        ReadCase{"NoSection", "[OTHER]\nUser=x\n", "User", "", 256, ""},
        ReadCase{"NoKey", "[QLMORVMAIL]\nPass=p\n", "User", "d", 256, "d"},
        ReadCase{"Plain", "[QLMORVMAIL]\nUser=alice\n", "User", "", 256, "alice"},
        ReadCase{"KeyAnyCase", "[qlmorvmail]\nuSeR=alice\n", "User", "", 256, "alice"},
        ReadCase{"BlanksTrimmed", "[QLMORVMAIL]\n  User \t=  al ice \t\n", "User", "", 256,
                 "al ice"},
        ReadCase{"QuotesStripped", "[QLMORVMAIL]\nUser=\" a b \"\n", "User", "", 256, " a b "},
        ReadCase{"LoneQuoteKept", "[QLMORVMAIL]\nUser=\"abc\n", "User", "", 256, "\"abc"},
        ReadCase{"CrLfFile", "[QLMORVMAIL]\r\nUser=bob\r\n", "User", "", 256, "bob"},
        ReadCase{"CutToCapacity", "[QLMORVMAIL]\nAOL=1234567890123\n", "AOL", "", 10, "123456789"},
        ReadCase{"DefaultCutToo", nullptr, "QLMHost", "abcdef", 4, "abc"},
        ReadCase{"OtherSectionSameKey", "[A]\nUser=no\n[QLMORVMAIL]\nUser=yes\n[B]\nUser=no\n",
                 "User", "", 256, "yes"},
        ReadCase{"EmptyValue", "[QLMORVMAIL]\nUser=\n", "User", "d", 256, ""},
        ReadCase{"EqualsInValue", "[QLMORVMAIL]\nPass=a=b\n", "Pass", "", 256, "a=b"}),
    [](const auto& info) { return std::string(info.param.name); });

struct IntCase {
    const char* stored;  // nullptr: no key
    int expected;
};

class ProfileIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ProfileIntTest, ConvertsLikeThePlatform) {
    TempDir dir;
    const auto& c = GetParam();
    writeFile(dir / kFile, c.stored != nullptr
                               ? std::string("[QLMORVMAIL]\nPort=") + c.stored + "\n"
                               : std::string("[QLMORVMAIL]\n"));
    EXPECT_EQ(ProfileStore(dir.path()).getInt(kSec, "Port", 21, kFile), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileIntTest,
                         ::testing::Values(IntCase{"2121", 2121}, IntCase{"", 0}, IntCase{"abc", 0},
                                           IntCase{"-5", -5}, IntCase{" 21x", 21}, IntCase{"+7", 7},
                                           IntCase{"99999999999", 2147483647},
                                           IntCase{nullptr, 21}));

TEST(ProfileWrite, CreatesFolderAndFileOwnerOnly) {
    TempDir dir;
    ProfileStore store(dir / "config/tyqlmftp");
    ASSERT_TRUE(store.writeString(kSec, "AOL", "0", kFile));
    const auto file = dir / "config/tyqlmftp/TYFTP.INI";
    EXPECT_EQ(readFile(file), "[QLMORVMAIL]\nAOL=0\n");
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(ProfileWrite, KeepsEveryOtherLineInOrder) {
    TempDir dir;
    const std::string before =
        "; my comment\r\n[Other]\nUser=other\n\n[QlmOrvMail]\nuser=old\n# note\nPass=p\n\n[Z]\nk=v";
    writeFile(dir / kFile, before);
    ProfileStore store(dir.path());
    store.writeString(kSec, "User", "new", kFile);
    store.writeString(kSec, "Local", "/data", kFile);
    EXPECT_EQ(readFile(dir / kFile),
              "; my comment\r\n[Other]\nUser=other\n\n[QlmOrvMail]\nUser=new\n# note\nPass=p\n"
              "Local=/data\n\n[Z]\nk=v\n");
}

TEST(ProfileWrite, FileNameMatchedInAnyCase) {
    TempDir dir;
    writeFile(dir / "tyftp.ini", "[QLMORVMAIL]\nUser=u\n");
    ProfileStore store(dir.path());
    EXPECT_EQ(store.getString(kSec, "User", "", 256, "TyFTP.INI"), "u");
    store.writeString(kSec, "Pass", "p", "TYFTP.INI");
    EXPECT_FALSE(std::filesystem::exists(dir / "TYFTP.INI"));
    EXPECT_EQ(readFile(dir / "tyftp.ini"), "[QLMORVMAIL]\nUser=u\nPass=p\n");
}

// Two files differing in letter case: reads and writes, whatever spelling
// they use, reach the same one (the name in capitals, else the first in name
// order). A byte-order mark before the section is ignored and kept.
TEST(ProfileWrite, OneFileForEverySpellingAndAByteOrderMarkKept) {
    struct Case {
        std::vector<const char*> files;
        const char* chosen;
    };
    const Case cases[] = {{{"TyFtp.Ini", "TYFTP.INI"}, "TYFTP.INI"},
                          {{"tyftp.ini", "TyFtp.Ini"}, "TyFtp.Ini"}};
    for (const auto& c : cases) {
        TempDir dir;
        for (const char* name : c.files) {
            writeFile(dir / name, std::string("\xEF\xBB\xBF[QLMORVMAIL]\nUser=") + name + "\n");
        }
        ProfileStore store(dir.path());
        store.writeString(kSec, "Pass", "p", "TYFTP.INI");
        for (const char* spelling : {"TyFTP.INI", "TYFTP.INI", "tyftp.ini"}) {
            EXPECT_EQ(store.getString(kSec, "User", "", 256, spelling), c.chosen) << spelling;
            EXPECT_EQ(store.getString(kSec, "Pass", "", 256, spelling), "p") << spelling;
        }
        EXPECT_EQ(readFile(dir / c.chosen),
                  std::string("\xEF\xBB\xBF[QLMORVMAIL]\nUser=") + c.chosen + "\nPass=p\n");
    }
}

TEST(ProfileWrite, SymbolicLinksStayAndTheirEndIsWritten) {
    namespace fs = std::filesystem;
    TempDir dir;  // config/tyftp.ini -> ../hop -> real.ini, missing at first
    fs::create_directories(dir / "config");
    fs::create_symlink("../hop", dir / "config" / "tyftp.ini");
    fs::create_symlink("real.ini", dir / "hop");
    const ProfileStore store(dir / "config");
    ASSERT_TRUE(store.writeString(kSec, "User", "u", kFile));
    ASSERT_TRUE(store.writeString(kSec, "Pass", "p", kFile));
    EXPECT_EQ(store.getString(kSec, "User", "", 256, kFile), "u");
    EXPECT_EQ(readFile(dir / "real.ini"), "[QLMORVMAIL]\nUser=u\nPass=p\n");
    EXPECT_TRUE(fs::is_symlink(dir / "config" / "tyftp.ini") && fs::is_symlink(dir / "hop"));
    EXPECT_EQ(fs::status(dir / "real.ini").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(ProfileWrite, LeavesNoTemporaryFiles) {
    TempDir dir;
    ProfileStore store(dir.path());
    for (int i = 0; i < 5; ++i) {
        store.writeString(kSec, "User", std::to_string(i), kFile);
    }
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++count;
    }
    EXPECT_EQ(count, 1);
}

TEST(ProfileWrite, FailureLeavesTheFileWhole) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only folders";
    }
    TempDir dir;
    writeFile(dir / kFile, "[QLMORVMAIL]\nUser=keep\n");
    std::filesystem::permissions(
        dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    ProfileStore store(dir.path());
    EXPECT_FALSE(store.writeString(kSec, "User", "lost", kFile));
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    EXPECT_EQ(readFile(dir / kFile), "[QLMORVMAIL]\nUser=keep\n");
}

// Files that are no settings file, or that their owner made read-only: reads
// give the defaults at once; writes say why and leave them as they were; a
// value the file already holds is not written, so that does not fail.
TEST(ProfileWrite, FilesItWillNotReplace) {
    namespace fs = std::filesystem;
    const std::string kept = "[QLMORVMAIL]\nUser=kept\n";
    const std::tuple<std::function<void(const fs::path&)>, const char*, const char*> cases[] = {
        {[](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); }, "-", "regular file"},
        {[](const fs::path& f) { fs::create_symlink("/dev/zero", f); }, "-", "regular file"},
        {[&](const fs::path& f) { writeFile(f, kept + std::string(1 << 20, ';')); }, "-",
         "larger than 1 MiB"},
        {[&](const fs::path& f) { writeFile(f, kept), fs::permissions(f, fs::perms::owner_read); },
         "kept", "the file is read-only"},
    };
    for (const auto& [make, read, why] : cases) {
        SCOPED_TRACE(why);
        TempDir dir;
        const auto file = dir / kFile;
        make(file);
        struct stat before {
        }, after{};
        ASSERT_EQ(::lstat(file.c_str(), &before), 0);
        const ProfileStore store(dir.path());
        EXPECT_EQ(store.getString(kSec, "User", "-", 256, kFile), read);
        const auto failure = store.write(kSec, "User", "new", kFile);
        EXPECT_TRUE(failure && failure->ends_with(why)) << failure.value_or("written");
        EXPECT_EQ(store.write(kSec, "User", "kept", kFile).has_value(), read != "kept"s);
        ASSERT_EQ(::lstat(file.c_str(), &after), 0);
        EXPECT_EQ(std::tie(after.st_ino, after.st_mode, after.st_size),
                  std::tie(before.st_ino, before.st_mode, before.st_size));
    }
    EXPECT_TRUE(fs::is_character_file("/dev/zero"));
}

TEST(ProfileWrite, EveryByteValueRoundTrips) {
    TempDir dir;
    ProfileStore store(dir.path());
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::vector<std::string> values = {all.substr(0, 255),
                                             all.substr(1, 255),
                                             std::string("\0x\0", 3),
                                             " lead",
                                             "trail ",
                                             "\"quoted\"",
                                             "\"half",
                                             "half\"",
                                             "%%marker",
                                             "%41",
                                             "line\nbreak",
                                             "cr\rhere",
                                             "\t",
                                             "plain text with = and ; and [x]",
                                             "",
                                             "ünïcödé §",
                                             std::string(255, '\xA7')};
    for (const auto& value : values) {
        store.writeString(kSec, "Pass", value, kFile);
        EXPECT_EQ(store.getString(kSec, "Pass", "", 256, kFile), value);
    }
}

TEST(ProfileWrite, PlainValuesStoredAsTyped) {
    TempDir dir;
    ProfileStore store(dir.path());
    store.writeString(kSec, "Local", "/home/ann/QLM data", kFile);
    store.writeString(kSec, "User", "C:\\odd\\path", kFile);
    EXPECT_EQ(readFile(dir / kFile),
              "[QLMORVMAIL]\nLocal=/home/ann/QLM data\nUser=C:\\odd\\path\n");
}

TEST(ProfileWrite, EscapedValuesStayOnOneLine) {
    TempDir dir;
    ProfileStore store(dir.path());
    store.writeString(kSec, "Pass", "a\nb\r\n", kFile);
    store.writeString(kSec, "User", "u", kFile);
    const auto text = readFile(dir / kFile);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace tyq::settings
