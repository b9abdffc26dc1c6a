#include "settings/CSettings.h"

#include <gtest/gtest.h>

#include <tuple>

#include "settings/Keys.h"
#include "support/TempDir.h"

namespace tyq::settings {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

// The table as the file format has it: each key's name, what a missing key
// gives, and where a longer value is cut, by commands and by the setup window.
// Every read reaches the file whatever the spelling of its name.
TEST(SettingsTable, EveryKeyReadsItsNameDefaultAndCut) {
    constexpr std::size_t kWhole = 300;
    struct Row {
        Key key;
        const char* name;
        std::size_t kept;  // bytes a command gets of a 300-byte value
        std::size_t keptInSetup;
        const char* setupDefault;
    };
    const Row rows[] = {
        {Key::User, "User", 255, 255, ""},
        {Key::Pass, "Pass", 255, 255, ""},
        {Key::ZipPass, "FileUnZipPass", 255, 255, ""},
        {Key::Local, "Local", kWhole, kWhole, ""},
        {Key::Host, "QLMHost", 255, 127, kDefaultHost},
        {Key::Aol, "AOL", 9, 9, ""},
        {Key::Encryption, "Encryption", kWhole, kWhole, ""},
    };
    std::string file = "[QLMORVMAIL]\n";
    for (const auto& row : rows) {
        file += std::string(row.name) + "=" + std::string(kWhole, row.name[0]) + "\n";
    }
    TempDir full;
    TempDir empty;
    writeFile(full / "tyftp.ini", file + "Port=" + std::string(kWhole, '1') + "\nConnections=0\n");
    const ProfileStore store(full.path());
    const ProfileStore none(empty.path());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string stored(kWhole, row.name[0]);
        if (row.key == Key::ZipPass) {
            scrambleZipPassword(stored);
        }
        EXPECT_EQ(read(store, row.key), stored.substr(0, row.kept));
        EXPECT_EQ(readForSetup(store, row.key), stored.substr(0, row.keptInSetup));
        EXPECT_EQ(read(none, row.key), "");
        EXPECT_EQ(readForSetup(none, row.key), row.setupDefault);
    }
    EXPECT_EQ(readForSetup(store, Key::Port), std::string(7, '1'));
    EXPECT_EQ(readForSetup(none, Key::Port), "21");
    // Numbers: the defaults, and connections within 1 to 8 (the snapshot's
    // check has the top).
    EXPECT_EQ(
        std::tuple(readNumber(none, Key::Port), readNumber(none, Key::Connections),
                   readNumber(store, Key::Connections), readNumber(none, Key::CollectOnMetered),
                   readNumber(none, Key::PasswordsInKeyring)),
        std::tuple(21, 2, 1, 0, 0));
}

TEST(SettingsTable, SnapshotHoldsEveryValue) {
    TempDir dir;
    writeFile(dir / "TYFTP.INI",
              "[QLMORVMAIL]\nUser=u1\nPass=p1\nLocal=/l\nQLMHost=h\nFileUnZipPass=\xC6\xC5\xC4\n"
              "Port=2121\nAOL=0x\nEncryption=Plain\nConnections=12\n");
    const Snapshot values = readSnapshot(ProfileStore(dir.path()));
    EXPECT_EQ(std::tie(values.user, values.pass, values.zipPass, values.local, values.host,
                       values.aol, values.encryption),
              std::tie("u1", "p1", "abc", "/l", "h", "0x", "Plain"));
    EXPECT_EQ(std::pair(values.port, values.connections), std::pair(2121, 8));

    // While the passwords are in a keyring out of reach, the file neither
    // gives nor takes them.
    const std::string keyed = "[QLMORVMAIL]\nPass=p1\nPasswordsInKeyring=1\n";
    writeFile(dir / "TYFTP.INI", keyed);
    EXPECT_EQ(readSnapshot(ProfileStore(dir.path())).pass, "");
    EXPECT_TRUE(saveStepOne(ProfileStore(dir.path()), {"u", "p2", "z", "/l"},
                            {.pass = Save::Used, .zipPass = Save::Kept})
                    .blocking);
    EXPECT_EQ(readFile(dir / "TYFTP.INI"), keyed);
}

// One batch, in the order the file then shows; skipped values stay out.
TEST(SettingsTable, StepOneSavedInOrder) {
    const StepOneTexts fields{"u", "p", "abc", "/l"};
    const std::pair<StepOneSaves, std::string> cases[] = {
        {{Save::Kept, Save::Kept, Save::Kept, Save::Kept, Save::Kept},
         "User=u\nPass=p\nFileUnZipPass=\xC6\xC5\xC4\nLocal=/l\nAOL=0\n"},
        {{.pass = Save::Used, .aolOff = Save::Used}, "Pass=p\nAOL=0\n"},
    };
    for (const auto& [saves, expected] : cases) {
        TempDir dir;
        const ProfileStore store(dir.path());
        const CommandSave saved = saveStepOne(store, fields, saves);
        EXPECT_EQ(std::pair(saved.failure, saved.blocking), std::pair(std::string(), false));
        EXPECT_EQ(readFile(dir / "TYFTP.INI"), "[QLMORVMAIL]\n" + expected);
    }
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
    EXPECT_EQ(read(store, Key::ZipPass), GetParam().plain);
    // Written plain, stored scrambled.
    ASSERT_FALSE(write(store, Key::ZipPass, GetParam().plain + "x"));
    EXPECT_EQ(store.getString(kSection, kZipPass, "", 256, kFileName), scrambled + "\xDF");
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
    EXPECT_EQ(read(store, Key::ZipPass), "pass");
}

}  // namespace
}  // namespace tyq::settings
