#include "settings/CSettings.h"

#include <gtest/gtest.h>

#include "settings/Keys.h"
#include "support/TempDir.h"

namespace tyq::settings {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

TEST(CSettings, NamedReadsWithoutFileAreEmpty) {
    TempDir dir;
    ProfileStore store(dir.path());
    CSettings settings(store);
    EXPECT_EQ(settings.user(), "");
    EXPECT_EQ(settings.password(), "");
    EXPECT_EQ(settings.zipPassword(), "");
    EXPECT_EQ(settings.localFolder(), "");
    EXPECT_EQ(settings.host(), "");
}

TEST(CSettings, NamedReadsReachTheUpperCaseFile) {
    TempDir dir;
    writeFile(dir / "TYFTP.INI",
              "[QLMORVMAIL]\nUser=u1\nPass=p1\nLocal=/l\nQLMHost=h\nFileUnZipPass=\xC6\xC5\xC4\n");
    ProfileStore store(dir.path());
    CSettings settings(store);
    EXPECT_EQ(settings.user(), "u1");
    EXPECT_EQ(settings.password(), "p1");
    EXPECT_EQ(settings.localFolder(), "/l");
    EXPECT_EQ(settings.host(), "h");
    EXPECT_EQ(settings.zipPassword(), "abc");
}

// The local folder alone is read whole: a cut path names another folder.
TEST(CSettings, NamedReadsCutAt255) {
    TempDir dir;
    const std::string path = "/" + std::string(300, 'x');
    writeFile(dir / "TYFTP.INI", "[QLMORVMAIL]\nLocal=" + path + "\nUser=" + path + "\n");
    ProfileStore store(dir.path());
    EXPECT_EQ(CSettings(store).user(), "/" + std::string(254, 'x'));
    EXPECT_EQ(CSettings(store).localFolder(), path);
}

struct ScrambleCase {
    std::string plain;
};

class ZipPasswordTest : public ::testing::TestWithParam<ScrambleCase> {};

TEST_P(ZipPasswordTest, RoundTripsThroughTheFile) {
    TempDir dir;
    ProfileStore store(dir.path());
    auto scrambled = GetParam().plain;
    scrambleZipPassword(scrambled);
    ASSERT_EQ(scrambled.size(), GetParam().plain.size());
    store.writeString(kSection, kZipPass, scrambled, kFileName);
    EXPECT_EQ(CSettings(store).zipPassword(), GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(Cases, ZipPasswordTest,
                         ::testing::Values(ScrambleCase{""}, ScrambleCase{"secret"},
                                           ScrambleCase{"ça va"}, ScrambleCase{"§1"},
                                           ScrambleCase{"Чай"}, ScrambleCase{"Χ"},
                                           ScrambleCase{"\xA7\xA7"},
                                           ScrambleCase{" \" spaced \" "}),
                         [](const auto& info) { return std::to_string(info.index); });

TEST(Scramble, IsXorA7AndItsOwnInverse) {
    std::string bytes = "Ab\xA7z";
    scrambleZipPassword(bytes);
    EXPECT_EQ(bytes, std::string("\xE6\xC5\x00\xDD", 4));
    scrambleZipPassword(bytes);
    EXPECT_EQ(bytes, "Ab\xA7z");
}

TEST(Scramble, OldStoredFormReadsTheSame) {
    // A value written raw by earlier versions (no escaping) reads back as before.
    TempDir dir;
    writeFile(dir / "TYFTP.INI", "[QLMORVMAIL]\nFileUnZipPass=\xD7\xC6\xD4\xD4\n");
    ProfileStore store(dir.path());
    EXPECT_EQ(CSettings(store).zipPassword(), "pass");
}

}  // namespace
}  // namespace tyq::settings
