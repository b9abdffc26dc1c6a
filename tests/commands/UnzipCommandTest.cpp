// The unzip command end to end: settings file, real archives, the real unzip
// library from the build folder.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "commands/UnzipCommand.h"
#include "common/FolderLock.h"
#include "common/Leftovers.h"
#include "common/StagingFolder.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "support/FakeMainWindow.h"
#include "support/TempDir.h"
#include "unzip/UnzipLibrary.h"
#include "unzip/ZipFixtures.h"

namespace tyq::unzip {
namespace {

using commands::unzipDownloadFiles;
using test::Tree;

const std::string kInProgress = "Unzipping files in progress...";
const std::string kHint = "Please check the ZIP Password";
const std::string kWrong = ": wrong zip password (or the archive is damaged)";
const std::string kNoZip = ": not a zip archive or cannot be read";

class UnzipCommandTest : public ::testing::Test {
  protected:
    UnzipCommandTest() : profiles_(settingsDir_.path()) {
        window_.fields = {"user1", "ftp-pass", "zip-pass", local_.path().string()};
    }

    std::vector<std::string> run(const std::filesystem::path& libraryFolder = TYQ_BIN_DIR) {
        outcome_ = unzipDownloadFiles(window_, profiles_, libraryFolder);
        return window_.progress;
    }
    // The last run's extraction; none when it extracted nothing.
    const ExtractionOutcome* extraction() const {
        return std::get_if<ExtractionOutcome>(&outcome_.result);
    }
    std::string setting(const char* key) const {
        return profiles_.getString(settings::kSection, key, "<missing>", 1024, settings::kFileName);
    }

    test::TempDir settingsDir_;
    test::TempDir local_;
    settings::ProfileStore profiles_;
    test::FakeMainWindow window_;
    commands::CommandOutcome outcome_;
};

// The folder the command unzips is the Location as typed, read whole; "~/"
// is home. When the settings cannot be saved nothing is unzipped, unless the
// file holds what the run reads back: then the detail says so.
TEST_F(UnzipCommandTest, TheLocationAsTypedOrNothing) {
    const std::filesystem::path deep =
        local_ / std::string(120, 'a') / std::string(120, 'b') / "QLM data";
    const test::TempDir home;
    // Holds all but the user ID, which the run does not read back.
    const test::TempDir readOnly;
    std::string zip = "zip-pass";
    settings::scrambleZipPassword(zip);
    test::writeFile(readOnly / "TYFTP.INI", "[QLMORVMAIL]\nPass=ftp-pass\nFileUnZipPass=" + zip +
                                                "\nLocal=" + local_.path().string() + "\n");
    const test::ReadOnlyFolder made(readOnly.path());
    ASSERT_TRUE(made.made());
    struct Case {
        std::string typed;
        std::filesystem::path real;
        std::filesystem::path settings;
        bool runs;
    };
    const Case cases[] = {{deep.string(), deep, settingsDir_.path(), true},
                          {"~/QLM", home / "QLM", settingsDir_.path(), true},
                          {local_.path().string(), local_.path(), settingsDir_ / "blocked", false},
                          {local_.path().string(), local_.path(), readOnly.path(), true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        std::filesystem::create_directories(c.real);
        std::filesystem::remove(c.real / "A.TXT");
        test::makeZip(c.real / "QLM0101.ZIP", {{"A.TXT", "a"}}, "-P zip-pass");
        setenv("HOME", home.path().c_str(), 1);
        test::writeFile(settingsDir_ / "blocked", "a file, not a folder");
        settings::ProfileStore store(c.settings);
        window_.fields.local = c.typed;
        window_.progress.clear();
        unzipDownloadFiles(window_, store, TYQ_BIN_DIR);
        EXPECT_EQ(std::filesystem::exists(c.real / "A.TXT"), c.runs);
        EXPECT_EQ(std::filesystem::exists(c.real / "QLM0101.ZIP"), !c.runs);
        if (!c.runs) {
            EXPECT_EQ(window_.progress,
                      std::vector<std::string>{"The settings could not be saved"});
        }
        EXPECT_EQ(window_.detail.rfind("Cannot save the settings to ", 0),
                  c.settings == settingsDir_.path() ? std::string::npos : 0u)
            << window_.detail;
    }
}

TEST_F(UnzipCommandTest, NothingToDoStillSavesTheFields) {
    test::makeZip(local_ / "DATA.ZIP", {{"A.TXT", "a"}});
    test::writeFile(local_ / "QLM0101.TXT", "not an archive name");
    EXPECT_EQ(run(), (std::vector<std::string>{kInProgress, "Files not found"}));
    EXPECT_EQ(extraction(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(local_ / "DATA.ZIP"));

    EXPECT_EQ(window_.takes, 1);
    EXPECT_EQ(setting(settings::kUser), "user1");
    EXPECT_EQ(setting(settings::kPass), "ftp-pass");
    std::string stored = setting(settings::kZipPass);
    settings::scrambleZipPassword(stored);
    EXPECT_EQ(stored, "zip-pass");
    EXPECT_NE(setting(settings::kZipPass), "zip-pass");
    EXPECT_EQ(setting(settings::kLocal), local_.path().string());
}

TEST_F(UnzipCommandTest, EmptyFolderFindsNothing) {
    EXPECT_EQ(run(), (std::vector<std::string>{kInProgress, "Files not found"}));
    EXPECT_EQ(extraction(), nullptr);
}

struct TwoArchives {
    const char* label;
    bool firstGood;
    bool secondGood;
    int noZips;  // files of archive names before both that are no zip at all
    std::string finalText;
    std::string detail;
};

// "Unzipping Finished!" only when every archive was extracted; otherwise
// how many were, and the detail says why the others stayed.
TEST_F(UnzipCommandTest, TheFinalTextSaysHowManyWereExtracted) {
    const TwoArchives cases[] = {
        {"first fails", false, true, 0, "1 of 2 archives extracted", "qlm0101.zip" + kWrong},
        {"last fails", true, false, 0, "1 of 2 archives extracted", "QLM0102.ZIP" + kWrong},
        {"both succeed", true, true, 0, "Unzipping Finished!", ""},
        {"four of five fail", false, true, 3, "1 of 5 archives extracted",
         "QLM0100A.ZIP" + kNoZip + "; QLM0100B.ZIP" + kNoZip + "; QLM0100C.ZIP" + kNoZip +
             "; and 1 more"},
    };
    for (const TwoArchives& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(local_.path());
        std::filesystem::create_directory(local_.path());
        window_.progress.clear();
        window_.detail = "left from before";
        window_.bytes.clear();
        // Lower-case names are found too; name order decides which is last.
        test::makeZip(local_ / "qlm0101.zip", {{"ONE.TXT", "1"}},
                      c.firstGood ? "-P zip-pass" : "-P other");
        test::makeZip(local_ / "QLM0102.ZIP", {{"sub/TWO.TXT", "2"}},
                      c.secondGood ? "-P zip-pass" : "-P other");
        for (char n = 'A'; n < 'A' + c.noZips; ++n) {
            test::writeFile(local_ / (std::string("QLM0100") + n + ".ZIP"), "no zip");
        }

        const std::vector<std::string> progress = run();
        EXPECT_EQ(progress.front(), kInProgress);
        EXPECT_EQ(progress.back(), c.finalText);
        EXPECT_EQ(std::filesystem::exists(local_ / "qlm0101.zip"), !c.firstGood);
        EXPECT_EQ(std::filesystem::exists(local_ / "QLM0102.ZIP"), !c.secondGood);
        EXPECT_EQ(std::filesystem::exists(local_ / "ONE.TXT"), c.firstGood);
        EXPECT_EQ(std::filesystem::exists(local_ / "sub/TWO.TXT"), c.secondGood);
        EXPECT_EQ(window_.detail, c.detail);
        if (c.detail.empty()) {
            ASSERT_FALSE(window_.bytes.empty());
            EXPECT_EQ(window_.bytes.front().item, "qlm0101.zip");
            const ByteProgress& last = window_.bytes.back();
            EXPECT_EQ(std::tie(last.item, last.itemNumber, last.itemCount, last.itemDone,
                               last.itemTotal, last.allDone),
                      std::make_tuple(std::string("QLM0102.ZIP"), 2, 2, 1, 1, 2));
            // The run's size is known from the first archive on.
            EXPECT_TRUE(std::ranges::all_of(
                window_.bytes, [](const ByteProgress& bytes) { return bytes.allTotal == 2; }));
        }
    }
}

TEST_F(UnzipCommandTest, AStopLeavesTheArchivesWhole) {
    // 0: before the run, else at the first byte count of that archive.
    for (const int stopAt : {0, 1, 2}) {
        SCOPED_TRACE(stopAt);
        window_.progress.clear();
        window_.stop = {};
        window_.onBytes = [this, stopAt](const ByteProgress& bytes) {
            if (bytes.itemNumber == stopAt) {
                window_.stop.request_stop();
            }
        };
        if (stopAt == 0) {
            window_.stop.request_stop();
        }
        test::makeZip(local_ / "QLM0101.ZIP", {{"ONE.TXT", "1"}}, "-P zip-pass");
        test::makeZip(local_ / "QLM0102.ZIP", {{"sub/TWO.TXT", "2"}}, "-P zip-pass");
        Tree archives = test::readTree(local_.path());
        if (stopAt == 2) {
            archives.erase("QLM0101.ZIP");
            archives["ONE.TXT"] = "1";
        }
        EXPECT_EQ(run(),
                  (std::vector<std::string>{
                      kInProgress, stopAt == 2 ? "Unzipping stopped: 1 of 2 archives extracted"
                                               : "Unzipping stopped: 0 of 2 archives extracted"}));
        EXPECT_EQ(test::readTree(local_.path()), archives);
        // A stop is no archive's failure.
        ASSERT_NE(extraction(), nullptr);
        EXPECT_TRUE(extraction()->failures.empty());
        EXPECT_EQ(extraction()->stoppedAt, stopAt == 2 ? "QLM0102.ZIP" : "QLM0101.ZIP");
        // Every archive the stop left, not only the one it met.
        EXPECT_EQ(window_.detail,
                  stopAt == 2 ? "QLM0102.ZIP stays whole; Unzip Download Files takes it up again"
                              : "QLM0101.ZIP and QLM0102.ZIP stay whole; Unzip Download Files "
                                "takes them up again");
    }
}

// Only staging folders a killed command left go, at any depth, without
// following a link out of the folder; files and folders named like ours
// stay.
TEST_F(UnzipCommandTest, OnlyLeftoversOfOursGo) {
    const test::TempDir outside;
    const auto leftover = [&](const std::filesystem::path& in) {
        StagingFolder staging;
        EXPECT_EQ(staging.create(in, kUnzipTempPrefix), 0);
        staging.keep();
        return staging.path();
    };
    // An extraction killed before the rename of its new file for `path`,
    // its journal written in the first form or in today's.
    const auto cutShort = [&](const std::string& path, bool firstForm) {
        StagingFolder staging;
        EXPECT_EQ(staging.create(local_.path(), kUnzipTempPrefix), 0);
        test::writeFile(staging.path() / "1", "new");
        struct stat made {};
        struct stat there {};
        EXPECT_EQ(::stat((staging.path() / "1").c_str(), &made), 0);
        const bool existed = ::stat((local_ / path).c_str(), &there) == 0;
        EXPECT_EQ(staging.writeJournal({{"1", made.st_ino, path, existed ? there.st_dev : 0,
                                         existed ? there.st_ino : 0}}),
                  0);
        if (firstForm) {
            test::writeFile(staging.path() / "journal",
                            "tyqlmftp journal 1\n1 " + std::to_string(made.st_ino) + " " +
                                std::to_string(path.size()) + ":" + path + "\nend\n");
        }
        staging.keep();
    };
    const std::string deep = "1/2/3/4/5/6/7/8/9/10/11/12/";
    const struct {
        const char* label;
        std::function<void()> make;
        Tree left;                      // in the Location after the command
        const char* link = nullptr;     // a link that stays too
        const char* changed = nullptr;  // a path the detail names as kept
    } cases[] = {
        {"the file a cut short extraction replaces",
         [&] {
             test::writeFile(local_ / "A.TXT", "old");
             cutShort("A.TXT", false);
         },
         {{"A.TXT", "new"}}},
        {"a file written since where it was to put one",
         [&] {
             cutShort("A.TXT", false);
             test::writeFile(local_ / "A.TXT", "mine");
         },
         {{"A.TXT", "mine"}},
         nullptr,
         "A.TXT"},
        {"the file it replaces replaced since",
         [&] {
             test::writeFile(local_ / "A.TXT", "old");
             cutShort("A.TXT", false);
             test::writeFile(local_ / "A.NEW", "mine");
             std::filesystem::rename(local_ / "A.NEW", local_ / "A.TXT");
         },
         {{"A.TXT", "mine"}},
         nullptr,
         "A.TXT"},
        {"an older journal", [&] { cutShort("B.TXT", true); }, {{"B.TXT", "new"}}},
        {"a user's files named like ours",
         [&] {
             test::writeTree(local_.path(),
                             {{".tyunzip-01", "mine"}, {"sub/.tyqlmftp-02", "mine"}});
             // A copy of a staging folder is not the folder its record names.
             std::filesystem::copy(leftover(outside.path()), local_ / ".tyunzip-copy");
         },
         {{".tyunzip-01", "mine"},
          {".tyunzip-copy", "<dir>"},
          {"sub", "<dir>"},
          {"sub/.tyqlmftp-02", "mine"}}},
        {"a leftover, 12 levels deep inside",
         [&] {
             test::writeTree(leftover(local_.path()), {{deep + "7", "left"}});
         },
         {}},
        {"links out of the folder",
         [&] {
             const auto staging = leftover(local_.path());
             std::filesystem::create_directory_symlink(outside.path(), staging / "out");
             std::filesystem::create_directory_symlink(leftover(outside.path()),
                                                       local_ / ".tyunzip-link");
         },
         {},
         ".tyunzip-link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(local_.path());
        std::filesystem::remove_all(outside.path());
        std::filesystem::create_directory(local_.path());
        std::filesystem::create_directory(outside.path());
        test::writeFile(outside / "victim", "outside");
        c.make();
        const Tree outsideBefore = test::readTree(outside.path());
        run();
        if (c.link != nullptr) {
            EXPECT_TRUE(std::filesystem::is_symlink(local_ / c.link));
            std::filesystem::remove(local_ / c.link);
        }
        Tree left = test::readTree(local_.path());
        for (const auto& [name, contents] : c.left) {
            EXPECT_EQ(left[name], contents) << name;
        }
        std::erase_if(left, [&](const auto& entry) {
            return c.left.count(entry.first) != 0 || entry.first.starts_with(".tyunzip-copy/");
        });
        EXPECT_EQ(left, Tree{});
        EXPECT_EQ(test::readTree(outside.path()), outsideBefore);
        EXPECT_EQ(window_.detail.find(kChangedPathText) != std::string::npos, c.changed != nullptr)
            << window_.detail;
        EXPECT_TRUE(c.changed == nullptr ||
                    window_.detail.find(c.changed + std::string(kChangedPathText)) !=
                        std::string::npos)
            << window_.detail;
    }
}

// A second command on a folder another one holds says so and touches
// nothing, a read-only folder too (where no lock file can be made).
TEST_F(UnzipCommandTest, SecondCommandOnTheFolderWaitsThenSaysSo) {
    test::makeZip(local_ / "QLM0101.ZIP", {{"ONE.TXT", "1"}}, "-P zip-pass");
    for (const bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "read-only" : "writable");
        std::optional<test::ReadOnlyFolder> unwritable;
        if (readOnly) {
            unwritable.emplace(local_.path());
            ASSERT_TRUE(unwritable->made());
        }
        const FolderLock held(local_.path(), std::chrono::milliseconds(0));
        ASSERT_TRUE(held.held()) << held.failure();
        const Tree before = test::readTree(local_.path());
        window_.progress.clear();
        EXPECT_EQ(run(), (std::vector<std::string>{kInProgress, kFolderBusyText}));
        EXPECT_EQ(window_.detail, local_.path().string() + "/");
        EXPECT_EQ(test::readTree(local_.path()), before);
    }
}

TEST_F(UnzipCommandTest, WithoutAUsableLibraryEveryArchiveStays) {
    test::TempDir emptyFolder;
    const std::filesystem::path noEntry = std::filesystem::path(TYQ_UNZIP_DOUBLES) / "no-entry";
    for (const std::filesystem::path& folder : {emptyFolder.path(), noEntry}) {
        SCOPED_TRACE(folder.string());
        window_.progress.clear();
        test::makeZip(local_ / "QLM0101.ZIP", {{"ONE.TXT", "1"}}, "-P zip-pass");
        EXPECT_EQ(run(folder),
                  (std::vector<std::string>{kInProgress, kHint, "0 of 1 archive extracted"}));
        ASSERT_NE(extraction(), nullptr);
        ASSERT_EQ(extraction()->failures.size(), 1u);
        EXPECT_EQ(extraction()->failures[0].code, -1);
        EXPECT_TRUE(std::filesystem::exists(local_ / "QLM0101.ZIP"));
        EXPECT_FALSE(std::filesystem::exists(local_ / "ONE.TXT"));
        EXPECT_EQ(window_.detail, "The unzip library could not be loaded");
    }
}

TEST_F(UnzipCommandTest, LongLocationIsUsedWhole) {
    // Longer than the 79 characters the Location was once cut to.
    const std::filesystem::path deep =
        local_ / std::string(60, 'a') / std::string(60, 'b') / "with space";
    std::filesystem::create_directories(deep);
    window_.fields.local = deep.string() + "/";  // a trailing separator doubles up
    test::makeZip(deep / "QLM0101.ZIP", {{"ONE.TXT", "1"}}, "-P zip-pass");
    EXPECT_EQ(run().back(), "Unzipping Finished!");
    EXPECT_EQ(test::readFile(deep / "ONE.TXT"), "1");
    EXPECT_FALSE(std::filesystem::exists(deep / "QLM0101.ZIP"));
}

TEST_F(UnzipCommandTest, AnArchiveThatWouldReplaceADownloadedOneStaysAndSaysWhy) {
    test::makeZip(local_ / "QLM0101.ZIP", {{"QLM0101.ZIP", "inner"}, {"ONE.TXT", "1"}},
                  "-P zip-pass");
    const std::string archive = test::readFile(local_ / "QLM0101.ZIP");
    EXPECT_EQ(run().back(), "0 of 1 archive extracted");
    EXPECT_EQ(window_.detail,
              "QLM0101.ZIP: not every entry could be extracted as it stands (Would replace a "
              "downloaded archive: QLM0101.ZIP)");
    EXPECT_EQ(test::readTree(local_.path()), (Tree{{"QLM0101.ZIP", archive}}));
}

TEST_F(UnzipCommandTest, EmptyZipPasswordOpensPlainArchives) {
    window_.fields.zipPass = "";
    test::makeZip(local_ / "QLM0101.ZIP", {{"ONE.TXT", "1"}});
    EXPECT_EQ(run().back(), "Unzipping Finished!");
    EXPECT_EQ(test::readTree(local_.path()), (Tree{{"ONE.TXT", "1"}}));
}

}  // namespace
}  // namespace tyq::unzip
