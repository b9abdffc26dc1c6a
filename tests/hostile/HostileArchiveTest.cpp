// Hostile archives through the real unzip library: odd and dangerous names,
// links, duplicates, huge counts, an entry that inflates past the free space,
// a very long password. Whatever happens, nothing outside the destination is
// touched and a failure leaves the destination as it was.

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "commands/UnzipCommand.h"
#include "common/SharedLibrary.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "support/FakeMainWindow.h"
#include "support/TempDir.h"
#include "unzip/UnzipCommand.h"
#include "unzip/UnzipLibrary.h"
#include "unzip/ZipFixtures.h"

namespace tyq::unzip {
namespace {

namespace fs = std::filesystem;
using commands::unzipDownloadFiles;
using test::Tree;

void hostileZip(const fs::path& archive, const std::string& kind, std::int64_t number) {
    test::runOrThrow("/usr/bin/python3 " +
                     test::quoted(std::string(TYQ_TEST_TOOLS) + "/hostile_zip.py") + " " +
                     test::quoted(archive.string()) + " " + kind + " " + std::to_string(number));
}

class HostileArchive : public ::testing::Test {
  protected:
    HostileArchive() : library_(fs::path(TYQ_BIN_DIR) / "libtyunzip.so") {}

    std::int32_t extract(const fs::path& archive, const std::optional<std::string>& password = {}) {
        auto entry = library_.entryAs<DunzipEntry>("dunzip");
        if (entry == nullptr) {
            ADD_FAILURE() << "no dunzip: " << library_.error();
            return -1;
        }
        const std::string archiveName = archive.string();
        const std::string folder = out_.path().string() + "/";
        UnzipCommand command{};
        command.recordSize = kUnzipCommandSize;
        command.operation = kExtractOperation;
        command.archiveName = archiveName.c_str();
        command.itemMask = "*.*";
        command.destination = folder.c_str();
        if (password) {
            command.passwordGiven = 1;
            command.password = password->c_str();
        }
        return entry(&command);
    }

    SharedLibrary library_;
    test::TempDir work_;     // archives
    test::TempDir out_;      // the destination
    test::TempDir outside_;  // must never change
};

// What the destination holds before each case, besides what the case adds.
const Tree kBefore = {{"KEEP.TXT", "present before"}, {"old/QLM1.TXT", "old"}};

struct Case {
    const char* label;
    std::function<void(const fs::path& archive, const fs::path& out, const fs::path& outside)> make;
    std::int32_t code;
    // On success: the entries the archive adds to the destination.
    Tree added;
};

std::string json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// An archive of the given names (each with its name as its data) after one
// ordinary entry.
std::function<void(const fs::path&, const fs::path&, const fs::path&)> named(
    std::vector<std::string> names) {
    return [names](const fs::path& archive, const fs::path&, const fs::path&) {
        std::string entries = R"([{"name":"FIRST.TXT","data":"first"})";
        for (const auto& name : names) {
            entries += R"(,{"name":)" + json(name) + R"(,"data":)" + json(name) + "}";
        }
        test::craftZip(archive, entries + "]");
    };
}

const std::string kLongLeaf = std::string(4000, 'n') + ".TXT";
const std::string kUnicode = "\xc3\xbcml\xc3\xa4ut \xe2\x82\xac/caf\xc3\xa9 \xe6\x97\xa5.TXT";

const Case kCases[] = {
    {"zip-slip: ./../", named({"./../ESCAPED.TXT"}), code::kStructureInvalid, {}},
    {"zip-slip: deep climb", named({"a/b/../../../ESCAPED.TXT"}), code::kStructureInvalid, {}},
    {"zip-slip: doubled slashes", named({"a//..//../ESCAPED.TXT"}), code::kStructureInvalid, {}},
    {"zip-slip: a bare ..", named({".."}), code::kStructureInvalid, {}},
    {"zip-slip: absolute with doubled slash",
     named({"//tmp/ESCAPED.TXT"}),
     code::kStructureInvalid,
     {}},
    {"zip-slip: backslashes after a folder",
     named({"a\\..\\..\\ESCAPED.TXT"}),
     code::kStructureInvalid,
     {}},
    {"dots that are plain names",
     named({"...", "..a/b..", "a..b"}),
     code::kOk,
     {{"FIRST.TXT", "first"},
      {"...", "..."},
      {"..a", "<dir>"},
      {"..a/b..", "..a/b.."},
      {"a..b", "a..b"}}},
    {"control characters",
     named({"ctl\x01\x1f.TXT", "new\nline.TXT", "del\x7f.TXT"}),
     code::kOk,
     {{"FIRST.TXT", "first"},
      {"ctl\x01\x1f.TXT", "ctl\x01\x1f.TXT"},
      {"new\nline.TXT", "new\nline.TXT"},
      {"del\x7f.TXT", "del\x7f.TXT"}}},
    {"spaces and non-ASCII",
     named({kUnicode, " lead and trail .TXT"}),
     code::kOk,
     {{"FIRST.TXT", "first"},
      {"\xc3\xbcml\xc3\xa4ut \xe2\x82\xac", "<dir>"},
      {kUnicode, kUnicode},
      {" lead and trail .TXT", " lead and trail .TXT"}}},
    {"a 4,000-character name", named({kLongLeaf}), code::kCreateOutputFailed, {}},
    {"duplicate names: neither is lost",
     [](const fs::path& archive, const fs::path&, const fs::path&) {
         test::craftZip(archive, R"([{"name":"DUP.TXT","data":"one"},
                                     {"name":"DUP.TXT","data":"two"}])");
     },
     code::kSkipped,
     {}},
    {"an entry replacing a waiting archive",
     [](const fs::path& archive, const fs::path& out, const fs::path&) {
         test::writeFile(out / "QLMB.ZIP", "waiting");
         test::craftZip(archive, R"([{"name":"sub/QLMB.ZIP"},{"name":"QLMB.ZIP"}])");
     },
     code::kSkipped,
     {}},
    {"sizes adding up past any file",
     [](const fs::path& archive, const fs::path&, const fs::path&) {
         hostileZip(archive, "huge", std::numeric_limits<std::int64_t>::max());
     },
     code::kStructureInvalid,
     {}},
    {"names differing in letter case are two files",
     named({"case.txt", "CASE.TXT"}),
     code::kOk,
     {{"FIRST.TXT", "first"}, {"case.txt", "case.txt"}, {"CASE.TXT", "CASE.TXT"}}},
    {"a file and a folder of one name",
     named({"KEEP.TXT/INNER.TXT"}),
     code::kCreateOutputFailed,
     {}},
    {"a chain of links in the archive, then a file through it",
     [](const fs::path& archive, const fs::path&, const fs::path& outside) {
         test::craftZip(archive, R"([{"name":"L1","data":"L2","mode":41471},
                                     {"name":"L2","data":")" +
                                     outside.string() + R"(","mode":41471},
                                     {"name":"L1/THROUGH.TXT","data":"x"}])");
     },
     code::kSkipped,
     {}},
    {"a chain of links in the folder",
     [](const fs::path& archive, const fs::path& out, const fs::path& outside) {
         fs::create_directory_symlink(outside, out / "chain2");
         fs::create_directory_symlink("chain2", out / "chain");
         test::craftZip(archive, R"([{"name":"FIRST.TXT","data":"first"},
                                     {"name":"chain/THROUGH.TXT","data":"x"}])");
     },
     code::kCreateOutputFailed,
     {}},
    {"a link to a file outside, then a file of that name",
     [](const fs::path& archive, const fs::path&, const fs::path& outside) {
         test::craftZip(archive, R"([{"name":"VICTIM","data":")" + (outside / "victim").string() +
                                     R"(","mode":41471},{"name":"VICTIM","data":"mine"}])");
     },
     code::kSkipped,
     {}},
};

TEST_F(HostileArchive, NamesLinksAndDuplicates) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(out_.path());
        fs::create_directory(out_.path());
        fs::remove_all(outside_.path());
        fs::create_directory(outside_.path());
        test::writeFile(outside_ / "victim", "outside");
        test::writeTree(out_.path(), kBefore);
        const auto archive = work_ / "QLM0001.ZIP";
        fs::remove(archive);
        c.make(archive, out_.path(), outside_.path());
        const Tree before = test::readTree(out_.path());

        EXPECT_EQ(extract(archive), c.code);

        EXPECT_EQ(test::readTree(outside_.path()), (Tree{{"victim", "outside"}}));
        EXPECT_FALSE(fs::exists(work_ / "ESCAPED.TXT"));
        EXPECT_FALSE(fs::exists(fs::path("/tmp/ESCAPED.TXT")));
        Tree after = test::readTree(out_.path());
        if (c.code != code::kOk) {
            EXPECT_EQ(after, before);
            continue;
        }
        for (const auto& [name, contents] : before) {
            EXPECT_EQ(after[name], contents) << name;
        }
        for (const auto& [name, contents] : c.added) {
            EXPECT_EQ(after[name], contents) << name;
        }
        for (const auto& [name, contents] : after) {
            EXPECT_EQ(name.find(".tyunzip-"), std::string::npos) << name;
            EXPECT_FALSE(fs::is_symlink(out_ / name) && before.count(name) == 0) << name;
        }
    }
}

TEST_F(HostileArchive, DeepAndZeroByteEntriesArriveWhole) {
    hostileZip(work_ / "QLM1.ZIP", "deep", 2000);
    ASSERT_EQ(extract(work_ / "QLM1.ZIP"), code::kOk);
    std::string path;
    for (int i = 0; i < 2000; ++i) {
        path += "d/";
    }
    EXPECT_EQ(test::readFile(out_ / (path + "F.TXT")), "deep\n");

    test::craftZip(work_ / "QLM2.ZIP", R"([{"name":"ZERO.TXT"}])");
    test::writeFile(out_ / "ZERO.TXT", "an older, longer file");
    ASSERT_EQ(extract(work_ / "QLM2.ZIP"), code::kOk);
    EXPECT_TRUE(fs::exists(out_ / "ZERO.TXT"));
    EXPECT_EQ(fs::file_size(out_ / "ZERO.TXT"), 0u);
}

TEST_F(HostileArchive, TwentyThousandEntries) {
    hostileZip(work_ / "QLM1.ZIP", "many", 20000);
    ASSERT_EQ(extract(work_ / "QLM1.ZIP"), code::kOk);
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out_.path())) {
        ++count;
    }
    EXPECT_EQ(count, 20000u);
    EXPECT_EQ(test::readFile(out_ / "F00000.TXT"), "0\n");
    EXPECT_EQ(test::readFile(out_ / "F19999.TXT"), "19999\n");
}

TEST_F(HostileArchive, EntryInflatingPastTheFreeSpaceStopsWithNothingLeft) {
    const test::OtherFileSystem small(out_.path(), false, "size=2m");
    if (!small.mounted()) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    test::writeTree(out_.path(), kBefore);
    // 64 MiB of zeros in about 64 KiB of archive.
    hostileZip(work_ / "QLM1.ZIP", "bomb", 64 << 20);
    ASSERT_LT(fs::file_size(work_ / "QLM1.ZIP"), 1u << 20);

    EXPECT_EQ(extract(work_ / "QLM1.ZIP"), code::kDiskFull);
    EXPECT_EQ(test::readTree(out_.path()),
              (Tree{{"KEEP.TXT", "present before"}, {"old", "<dir>"}, {"old/QLM1.TXT", "old"}}));
}

TEST_F(HostileArchive, OfTwoLargeEntriesWithOneNameNeitherStays) {
    hostileZip(work_ / "QLM1.ZIP", "dups", 3 << 20);
    EXPECT_EQ(extract(work_ / "QLM1.ZIP"), code::kSkipped);
    EXPECT_TRUE(fs::is_empty(out_.path()));
}

// A FAT disk: letter case does not tell names apart, and CR LF is no name.
// Whatever it cannot hold as the archive has it fails the whole archive, with
// the file it would have replaced as it was.
TEST_F(HostileArchive, CaseInsensitiveDiskTakesAllOrNothing) {
    if (::geteuid() != 0 || std::system("command -v mkfs.vfat >/dev/null") != 0) {
        GTEST_SKIP() << "needs root and mkfs.vfat (dosfstools) for a FAT image";
    }
    // Through a loop device, else through fusefat where the kernel has no FAT.
    const std::string image = test::quoted((work_ / "fat.img").string());
    const std::string at = test::quoted(out_.path().string());
    if (std::system(("mkfs.vfat -C " + image + " 2048 >/dev/null && (mount -o loop " + image + " " +
                     at + " || fusefat -o rw+ " + image + " " + at + ") >/dev/null 2>&1")
                        .c_str()) != 0) {
        GTEST_SKIP() << "cannot mount a FAT image (no loop device or fusefat) here";
    }
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{out_.path()};
    const struct {
        const char* entries;
        std::int32_t code;
    } cases[] = {
        {R"([{"name":"KEEP.TXT","data":"new"},{"name":"case.txt"},{"name":"CASE.TXT"}])",
         code::kSkipped},
        {R"([{"name":"KEEP.TXT","data":"new"},{"name":"bad\r\n.TXT"}])", code::kCreateOutputFailed},
        {R"([{"name":"KEEP.TXT","data":"new"},{"name":"qlmb.zip"}])", code::kSkipped},
    };
    test::writeFile(out_ / "KEEP.TXT", "present before");
    test::writeFile(out_ / "QLMB.ZIP", "waiting");
    const Tree before = test::readTree(out_.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries);
        test::craftZip(work_ / "QLM1.ZIP", c.entries);
        EXPECT_EQ(extract(work_ / "QLM1.ZIP"), c.code);
        EXPECT_EQ(test::readTree(out_.path()), before);
    }
    test::craftZip(work_ / "QLM1.ZIP", R"([{"name":"KEEP.TXT","data":"new"},{"name":"d/X"}])");
    EXPECT_EQ(extract(work_ / "QLM1.ZIP"), code::kOk);
    EXPECT_EQ(test::readFile(out_ / "KEEP.TXT"), "new");
}

TEST_F(HostileArchive, NamedPipeOfAnArchivesNameIsRefusedAtOnce) {
    ASSERT_EQ(::mkfifo((work_ / "QLM1.ZIP").c_str(), 0600), 0);
    EXPECT_EQ(extract(work_ / "QLM1.ZIP"), code::kOpenArchiveFailed);
    EXPECT_TRUE(fs::is_empty(out_.path()));
}

TEST_F(HostileArchive, ThousandCharacterPassword) {
    const std::string password = std::string(999, 'p') + "Z";
    test::makeZip(work_ / "QLM1.ZIP", {{"SECRET.TXT", "opened"}}, "-P " + password);
    EXPECT_EQ(extract(work_ / "QLM1.ZIP", password.substr(0, 255)), code::kBadPassword);
    EXPECT_FALSE(fs::exists(out_ / "SECRET.TXT"));
    EXPECT_EQ(extract(work_ / "QLM1.ZIP", password), code::kOk);
    EXPECT_EQ(test::readFile(out_ / "SECRET.TXT"), "opened");
}

// The unzip command takes the zip password from the settings file, whose
// reads give at most 255 bytes: a longer password typed in the window is
// stored whole but reads back cut, and the archive then fails as one with a
// wrong password and stays for another try. A 255-byte password works.
TEST_F(HostileArchive, ZipPasswordThroughTheSettingsFileIsReadUpTo255Bytes) {
    test::TempDir settingsDir;
    settings::ProfileStore profiles(settingsDir.path());
    test::FakeMainWindow window;
    for (const std::size_t length : {std::size_t{255}, std::size_t{1000}}) {
        SCOPED_TRACE(length);
        const std::string password(length, 'k');
        fs::remove_all(out_.path());
        fs::create_directory(out_.path());
        test::makeZip(out_ / "QLM1.ZIP", {{"SECRET.TXT", "opened"}}, "-P " + password);
        window.fields = {"user", "ftp", password, out_.path().string()};
        window.progress.clear();

        const auto outcome = unzipDownloadFiles(window, profiles, TYQ_BIN_DIR);
        const auto* extraction = std::get_if<ExtractionOutcome>(&outcome.result);
        ASSERT_NE(extraction, nullptr);

        std::string stored = profiles.getString(settings::kSection, settings::kZipPass, "", 2000,
                                                settings::kFileName);
        settings::scrambleZipPassword(stored);
        EXPECT_EQ(stored, password);
        if (length <= 255) {
            EXPECT_TRUE(extraction->failures.empty());
            EXPECT_EQ(test::readTree(out_.path()), (Tree{{"SECRET.TXT", "opened"}}));
        } else {
            ASSERT_EQ(extraction->failures.size(), 1u);
            EXPECT_EQ(extraction->failures[0].code, code::kBadPassword);
            EXPECT_EQ(test::readTree(out_.path()).count("SECRET.TXT"), 0u);
            EXPECT_TRUE(fs::exists(out_ / "QLM1.ZIP"));
        }
    }
}

}  // namespace
}  // namespace tyq::unzip
