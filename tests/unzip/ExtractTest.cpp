// The unzip library itself, loaded the way the program loads it, fed archives
// made by real tools.

#include <dlfcn.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "common/Leftovers.h"
#include "common/SharedLibrary.h"
#include "support/TempDir.h"
#include "unzip/UnzipCommand.h"
#include "unzip/ZipFixtures.h"

// The library's renames pass through here (the test program exports its
// symbols): a child process is killed at a chosen rename, or a rename fails,
// or the file system is made to lack the exchange of two names.
namespace {
std::atomic<int> renamesBeforeKill{-1};
std::atomic<int> renamesBeforeFailure{-1};
std::atomic<bool> withoutExchange{false};
}  // namespace

extern "C" int renameat2(int from, const char* old, int to, const char* now,
                         unsigned flags) noexcept {
    if (renamesBeforeKill.fetch_sub(1) == 0) {
        ::kill(::getpid(), SIGKILL);
    }
    if (renamesBeforeFailure.fetch_sub(1) == 0) {
        errno = EIO;
        return -1;
    }
    if (withoutExchange && (flags & RENAME_EXCHANGE) != 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_renameat2, from, old, to, now, flags));
}

extern "C" int renameat(int from, const char* old, int to, const char* now) noexcept {
    return renameat2(from, old, to, now, 0);
}

namespace tyq::unzip {
namespace {

using test::Tree;

std::vector<std::string> warnings;

// What the library reported through a context (totals add up, so a second
// one shows); it asks to stop once it has seen `stopAfter` progress messages.
struct Counted {
    std::mutex mutex;
    std::uint64_t total = 0;
    int messages = 0;
    std::uint64_t written = 0;
    int stopAfter = -1;
    int killAfter = -1;  // the same, by SIGKILL
};

std::int32_t recordingCallback(std::uint32_t code, std::uint32_t value, std::int32_t first,
                               std::int32_t second, const char* text, char* reply, void* context) {
    if (code == kWarningMessage) {
        warnings.emplace_back(text != nullptr ? text : "");
        std::memset(reply, 'r', kReplyBufferSize);  // the whole buffer is ours to write
        return 0;
    }
    if (context == nullptr) {  // nothing but warnings without a context
        warnings.push_back("message " + std::to_string(code));
        return 0;
    }
    auto& counted = *static_cast<Counted*>(context);
    const std::lock_guard<std::mutex> lock(counted.mutex);
    if (code == kTotalMessage) {
        counted.total += static_cast<std::uint32_t>(first) |
                         std::uint64_t{static_cast<std::uint32_t>(second)} << 32;
    } else {
        counted.written += value;
        ++counted.messages;
    }
    if (counted.killAfter >= 0 && counted.messages >= counted.killAfter) {
        ::kill(::getpid(), SIGKILL);
    }
    return counted.stopAfter >= 0 && counted.messages >= counted.stopAfter;
}

// Text that does not compress, so an entry's stored size is its own.
std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string text(size, '\0');
    for (char& c : text) {
        c = static_cast<char>(random());
    }
    return text;
}

std::uint32_t centralDirectoryOffset(const std::filesystem::path& archive) {
    const std::string bytes = test::readFile(archive);
    std::uint32_t offset = 0;
    std::memcpy(&offset, bytes.data() + bytes.size() - 22 + 16, 4);
    return offset;
}

class ExtractTest : public ::testing::Test {
  protected:
    ExtractTest() : library_(std::filesystem::path(TYQ_BIN_DIR) / "libtyunzip.so") {
        warnings.clear();
    }

    std::int32_t extract(const std::filesystem::path& archive,
                         std::optional<std::string> password = std::nullopt,
                         const std::string& destination = "", Counted* context = nullptr,
                         std::uint32_t tag = kContextTag) {
        auto entry = library_.entryAs<DunzipEntry>("dunzip");
        if (entry == nullptr) {
            ADD_FAILURE() << "no dunzip: " << library_.error();
            return -1;
        }
        const std::string archiveName = archive.string();
        const std::string folder = destination.empty() ? out_.path().string() + "/" : destination;
        UnzipCommand command{};
        command.recordSize = kUnzipCommandSize;
        command.operation = kExtractOperation;
        command.archiveName = archiveName.c_str();
        command.itemMask = "*.*";
        command.field28 = -1;
        command.destination = folder.c_str();
        command.field64 = 1;
        command.field128 = 1;
        if (password) {
            command.passwordGiven = 1;
            command.password = password->c_str();
        }
        command.messageCallback = &recordingCallback;
        std::memcpy(command.field130, &context, sizeof context);
        if (context != nullptr) {
            std::memcpy(command.field130 + (kContextTagOffset - kContextOffset), &tag, sizeof tag);
        }
        return entry(&command);
    }

    SharedLibrary library_;
    test::TempDir work_;  // archives and things outside the destination
    test::TempDir out_;   // the destination folder
};

const Tree kTree = {
    {"QLMDATA.TXT", "first file\n"},
    {"sub/deeper/NOTES.TXT", "nested\n"},
    {"sub/EMPTY.TXT", ""},
};

TEST_F(ExtractTest, OnlyTheEntryIsExported) {
    FILE* pipe = ::popen(
        ("nm -D --defined-only " + test::quoted(std::string(TYQ_BIN_DIR) + "/libtyunzip.so"))
            .c_str(),
        "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> symbols;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        text.erase(text.find_last_not_of("\n") + 1);
        symbols.push_back(text.substr(text.rfind(' ') + 1));
    }
    ASSERT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(symbols, std::vector<std::string>{"dunzip"});
}

struct MadeArchive {
    const char* label;
    void (*make)(const std::filesystem::path&, const Tree&);
    std::optional<std::string> password;
};

// The kind's archive made afresh from `tree`, beside a destination that holds
// `before` alone.
void makeAfresh(const MadeArchive& kind, const std::filesystem::path& archive, const Tree& tree,
                const std::filesystem::path& out, const Tree& before) {
    std::filesystem::remove(archive);
    kind.make(archive, tree);
    std::filesystem::remove_all(out);
    std::filesystem::create_directory(out);
    test::writeTree(out, before);
}

const MadeArchive kGoodArchives[] = {
    {"deflated", [](const auto& a, const auto& t) { test::makeZip(a, t); }, std::nullopt},
    {"stored", [](const auto& a, const auto& t) { test::makeZip(a, t, "-0"); }, std::nullopt},
    {"traditional", [](const auto& a, const auto& t) { test::makeZip(a, t, "-P s3cr3t"); },
     "s3cr3t"},
    {"aes256", [](const auto& a, const auto& t) { test::make7zAes(a, t, "s3cr3t"); }, "s3cr3t"},
    {"zip64 records", [](const auto& a, const auto& t) { test::makeZip(a, t, "-fz"); },
     std::nullopt},
    {"behind a stub, offsets not adjusted",
     [](const auto& a, const auto& t) {
         test::makeZip(a, t);
         test::writeFile(a, std::string(3000, 'M') + test::readFile(a));
     },
     std::nullopt},
    {"plain with an empty password", [](const auto& a, const auto& t) { test::makeZip(a, t); }, ""},
};

TEST_F(ExtractTest, ExtractsEveryKindOfArchiveReplacingFilesOfTheSameName) {
    for (const MadeArchive& kind : kGoodArchives) {
        SCOPED_TRACE(kind.label);
        const auto archive = work_ / "QLM0101.ZIP";
        makeAfresh(kind, archive, kTree, out_.path(),
                   {{"QLMDATA.TXT", "old contents"}, {"KEEP.TXT", "not in the archive"}});

        ASSERT_EQ(extract(archive, kind.password), 0);
        Tree expected = kTree;
        expected["sub"] = "<dir>";
        expected["sub/deeper"] = "<dir>";
        expected["KEEP.TXT"] = "not in the archive";
        EXPECT_EQ(test::readTree(out_.path()), expected);
        EXPECT_TRUE(std::filesystem::exists(archive));  // deleting is the command's job
    }
}

TEST_F(ExtractTest, LargeEntriesStreamThrough) {
    const std::string big = noise(3 * 1024 * 1024, 7) + std::string(5 * 1024 * 1024, 'q');
    test::makeZip(work_ / "QLMBIG.ZIP", {{"BIG.BIN", big}});
    ASSERT_EQ(extract(work_ / "QLMBIG.ZIP"), 0);
    EXPECT_TRUE(test::readFile(out_ / "BIG.BIN") == big);
    EXPECT_TRUE(warnings.empty());
}

// Each failure must leave the destination exactly as it was, whatever the
// archive got through before it failed.
struct Failure {
    const char* label;
    std::int32_t code;
    std::function<void(const std::filesystem::path& archive, const std::filesystem::path& work)>
        make;
    std::optional<std::string> password;
};

// Several entries, a new subfolder among them, the damage in the last one.
const Tree kLongTree = {
    {"A.TXT", "a\n"},
    {"newdir/B.TXT", "b\n"},
    {"newdir/zz/Z.BIN", noise(4000, 1)},
};

// An AES archive made by 7-Zip with the given switches.
void make7z(const std::filesystem::path& archive, const Tree& tree, const std::string& switches) {
    test::TempDir source;
    test::writeTree(source.path(), tree);
    test::runOrThrow("cd " + test::quoted(source.path().string()) + " && 7zz a -bd -tzip " +
                     switches + " -ps3cr3t " + test::quoted(archive.string()) + test::names(tree));
}

const Tree kCompressible = {{"A.TXT", std::string(5000, 'a')}, {"B.TXT", "b\n"}};

void flipInLastEntry(const std::filesystem::path& archive) {
    test::flipByte(archive, static_cast<long>(centralDirectoryOffset(archive)) - 1500);
}

const Failure kFailures[] = {
    {"wrong traditional password", code::kBadPassword,
     [](const auto& a, const auto&) { test::makeZip(a, kLongTree, "-P right"); }, "wrong"},
    {"no password for a traditional archive", code::kBadPassword,
     [](const auto& a, const auto&) { test::makeZip(a, kLongTree, "-P right"); }, std::nullopt},
    {"empty password for a traditional archive", code::kBadPassword,
     [](const auto& a, const auto&) { test::makeZip(a, kLongTree, "-P right"); }, ""},
    {"wrong AES password", code::kBadPassword,
     [](const auto& a, const auto&) { test::make7zAes(a, kLongTree, "right"); }, "wrong"},
    {"damaged traditional data", code::kBadPassword,
     [](const auto& a, const auto&) {
         test::makeZip(a, kLongTree, "-P right");
         flipInLastEntry(a);
     },
     "right"},
    {"damaged AES data", code::kBadPassword,
     [](const auto& a, const auto&) {
         test::make7zAes(a, kLongTree, "right");
         flipInLastEntry(a);
     },
     "right"},
    {"damaged stored data", code::kBadCrc,
     [](const auto& a, const auto&) {
         test::makeZip(a, kLongTree, "-0");
         flipInLastEntry(a);
     },
     std::nullopt},
    {"damaged deflated data", code::kBadCrc,
     [](const auto& a, const auto&) {
         test::makeZip(a, kLongTree);
         flipInLastEntry(a);
     },
     std::nullopt},
    {"cut short", code::kUnexpectedEnd,
     [](const auto& a, const auto&) {
         test::makeZip(a, kLongTree);
         std::filesystem::resize_file(a, std::filesystem::file_size(a) / 2);
     },
     std::nullopt},
    {"only its end record lost", code::kUnexpectedEnd,
     [](const auto& a, const auto&) {
         test::makeZip(a, kLongTree);
         std::filesystem::resize_file(a, std::filesystem::file_size(a) - 10);
     },
     std::nullopt},
    {"data running past the end", code::kUnexpectedEnd,
     [](const auto& a, const auto&) {
         test::craftZip(
             a, R"([{"name":"A.TXT","data":"a"},{"name":"B.TXT","data":"b","size":40000}])");
     },
     std::nullopt},
    {"not a zip", code::kOpenArchiveFailed,
     [](const auto& a, const auto&) { test::writeFile(a, "plain text, not an archive\n"); },
     std::nullopt},
    {"empty file", code::kOpenArchiveFailed,
     [](const auto& a, const auto&) { test::writeFile(a, ""); }, std::nullopt},
    {"archive without entries", code::kNothingToExtract,
     [](const auto& a, const auto&) {
         test::writeFile(a, std::string("PK\5\6", 4) + std::string(18, '\0'));
     },
     std::nullopt},
    {"missing archive", code::kFileNotFound, [](const auto&, const auto&) {}, std::nullopt},
    {"parent step", code::kStructureInvalid,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},{"name":"../ESCAPED.TXT","data":"x"}])");
     },
     std::nullopt},
    {"parent step inside", code::kStructureInvalid,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},{"name":"d/../../ESCAPED.TXT"}])");
     },
     std::nullopt},
    {"absolute name", code::kStructureInvalid,
     [](const auto& a, const auto& work) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},{"name":")" + work.string() +
                               R"(/ESCAPED.TXT","data":"x"}])");
     },
     std::nullopt},
    {"backslash steps", code::kStructureInvalid,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},{"name":"..\\ESCAPED.TXT"}])");
     },
     std::nullopt},
    {"drive letter", code::kStructureInvalid,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},{"name":"C:ESCAPED.TXT"}])");
     },
     std::nullopt},
    {"NUL in a name", code::kStructureInvalid,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},
                              {"name":"GOODX../../ESCAPED.TXT","raw":"GOOD\u0000../../ESCAPED.TXT"}])");
     },
     std::nullopt},
    {"a name both file and folder", code::kStructureInvalid,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},{"name":"A.TXT/B.TXT","data":"b"}])");
     },
     std::nullopt},
    {"two entries of one name", code::kSkipped,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},{"name":"A.TXT","data":"b"}])");
     },
     std::nullopt},
    {"entries whose data overlap", code::kStructureInvalid,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a"},{"name":"B.TXT","data":"b"},
                              {"name":"C.TXT","data":"c","same_as":0}])");
     },
     std::nullopt},
    {"inflating past its declared size", code::kBadCrc,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"Z.BIN","data":")" + std::string(100000, 'z') +
                               R"(","deflate":true,"usize":1000}])");
     },
     std::nullopt},
    {"strong encryption", code::kUnknownCompression,
     [](const auto& a, const auto&) {
         test::craftZip(a, R"([{"name":"A.TXT","data":"a","flags":65}])");
     },
     "s3cr3t"},
    {"AES over bzip2, right password", code::kUnknownCompression,
     [](const auto& a, const auto&) { make7z(a, kCompressible, "-mem=AES256 -mm=BZip2"); },
     "s3cr3t"},
    {"AES over LZMA, right password", code::kUnknownCompression,
     [](const auto& a, const auto&) { make7z(a, kCompressible, "-mem=AES256 -mm=LZMA"); },
     "s3cr3t"},
    {"AES over PPMd, right password", code::kUnknownCompression,
     [](const auto& a, const auto&) { make7z(a, kCompressible, "-mem=AES256 -mm=PPMd"); },
     "s3cr3t"},
    {"unknown compression", code::kUnknownCompression,
     [](const auto& a, const auto&) {
         test::craftZip(a,
                        R"([{"name":"A.TXT","data":"a"},{"name":"B.TXT","data":"b","method":21}])");
     },
     std::nullopt},
};

TEST_F(ExtractTest, FailuresLeaveTheFolderAsItWas) {
    for (const Failure& failure : kFailures) {
        SCOPED_TRACE(failure.label);
        const auto archive = work_ / "QLM0101.ZIP";
        std::filesystem::remove(archive);
        failure.make(archive, work_.path());
        std::filesystem::remove_all(out_.path());
        std::filesystem::create_directory(out_.path());
        test::writeTree(out_.path(), {{"A.TXT", "present before"}, {"olddir/C.TXT", "c"}});
        const Tree before = test::readTree(out_.path());
        const Tree workBefore = test::readTree(work_.path());

        EXPECT_EQ(extract(archive, failure.password), failure.code);
        EXPECT_EQ(test::readTree(out_.path()), before);
        EXPECT_EQ(test::readTree(work_.path()), workBefore);
    }
}

TEST_F(ExtractTest, SymbolicLinksInTheFolderAreNeverFollowed) {
    test::TempDir outside;
    test::writeFile(outside / "victim", "outside contents");
    std::filesystem::create_symlink(outside / "victim", out_ / "QLMDATA.TXT");
    test::makeZip(work_ / "QLM1.ZIP", {{"QLMDATA.TXT", "from the archive"}});

    ASSERT_EQ(extract(work_ / "QLM1.ZIP"), 0);
    EXPECT_EQ(test::readFile(outside / "victim"), "outside contents");
    EXPECT_FALSE(std::filesystem::is_symlink(out_ / "QLMDATA.TXT"));
    EXPECT_EQ(test::readFile(out_ / "QLMDATA.TXT"), "from the archive");

    // A linked folder on the way to an entry: refused, nothing written there.
    std::filesystem::create_directory_symlink(outside.path(), out_ / "sub");
    test::makeZip(work_ / "QLM2.ZIP", {{"sub/NEW.TXT", "x"}, {"TOP.TXT", "y"}});
    EXPECT_EQ(extract(work_ / "QLM2.ZIP"), code::kCreateOutputFailed);
    EXPECT_EQ(test::readTree(outside.path()), (Tree{{"victim", "outside contents"}}));
    EXPECT_FALSE(std::filesystem::exists(out_ / "TOP.TXT"));
}

TEST_F(ExtractTest, LinksInTheArchiveFailItAndSetIdBitsAreDropped) {
    // 0o120777: a symbolic link, never created: the archive is not extracted.
    test::craftZip(work_ / "QLM1.ZIP",
                   R"([{"name":"LINK","data":"/etc/passwd","mode":41471},
                       {"name":"TOOL","data":"x"}])");
    ASSERT_EQ(extract(work_ / "QLM1.ZIP"), code::kSkipped);
    EXPECT_TRUE(std::filesystem::is_empty(out_.path()));
    // 0o104755: a set-user-id program.
    test::craftZip(work_ / "QLM2.ZIP", R"([{"name":"TOOL","data":"#!/bin/sh\n","mode":35309}])");
    ASSERT_EQ(extract(work_ / "QLM2.ZIP"), 0);
    struct stat info {};
    ASSERT_EQ(::stat((out_ / "TOOL").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07000, 0u);
    EXPECT_NE(info.st_mode & 0100, 0u);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("LINK"), std::string::npos);
}

TEST_F(ExtractTest, NamesWithoutTheUtf8FlagAreCp437) {
    // 0x82 is "é" in CP437; the second name carries the UTF-8 flag.
    test::craftZip(work_ / "QLM1.ZIP",
                   R"([{"name":"cafX.txt","raw":"caf\u0082.txt","data":"1"},
                       {"name":"na\u00efve.txt","data":"2"}])");
    ASSERT_EQ(extract(work_ / "QLM1.ZIP"), 0);
    EXPECT_EQ(test::readFile(out_ / "caf\xc3\xa9.txt"), "1");
    EXPECT_EQ(test::readFile(out_ / "na\xc3\xafve.txt"), "2");
}

TEST_F(ExtractTest, FolderThatCannotBeWrittenIsAnOutputError) {
    test::makeZip(work_ / "QLM1.ZIP", {{"A.TXT", "a"}});
    EXPECT_EQ(extract(work_ / "QLM1.ZIP", std::nullopt, (work_ / "missing/").string()),
              code::kCreateOutputFailed);
}

TEST_F(ExtractTest, FullDiskLeavesNothing) {
    const test::OtherFileSystem small(out_.path(), false, "size=1m");
    if (!small.mounted()) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    test::writeFile(out_ / "A.TXT", "present before");
    test::makeZip(work_ / "QLM1.ZIP",
                  {{"A.TXT", "new"}, {"d/SMALL.TXT", "small"}, {"d/BIG.BIN", noise(2 << 20, 3)}});

    EXPECT_EQ(extract(work_ / "QLM1.ZIP"), code::kDiskFull);
    EXPECT_EQ(test::readTree(out_.path()), (Tree{{"A.TXT", "present before"}}));

    // One that reports no size at all (as some FUSE and network mounts do)
    // is not taken as full.
    const test::OtherFileSystem unsized(out_.path(), false, "size=0");
    ASSERT_TRUE(unsized.mounted());
    EXPECT_EQ(extract(work_ / "QLM1.ZIP"), code::kOk);
    EXPECT_EQ(test::readFile(out_ / "d/BIG.BIN").size(), 2u << 20);
}

// A folder of the archive's that is another file system (mounted inside the
// destination) cannot take a staged file by rename: the archive fails, named.
TEST_F(ExtractTest, EntryOnAnotherFileSystemFailsTheArchive) {
    std::filesystem::create_directory(out_ / "mnt");
    if (::geteuid() != 0 || ::mount("tmpfs", (out_ / "mnt").c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    struct Unmount {
        std::filesystem::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{out_ / "mnt"};
    test::writeTree(out_.path(), {{"A.TXT", "old"}, {"mnt/B.TXT", "old"}});
    const Tree before = test::readTree(out_.path());
    test::makeZip(work_ / "QLM1.ZIP", {{"A.TXT", "new"}, {"mnt/B.TXT", "new"}});
    EXPECT_EQ(extract(work_ / "QLM1.ZIP"), code::kCreateOutputFailed);
    EXPECT_EQ(test::readTree(out_.path()), before);
    EXPECT_EQ(warnings, std::vector<std::string>{"On another file system: mnt/B.TXT"});
}

// Archives large enough to be shared out among several readers: the result
// must be the same as one reader's, and a failure in any share must undo
// every share.
TEST_F(ExtractTest, SharedAmongReadersAllOrNothing) {
    Tree tree;
    for (int i = 0; i < 6; ++i) {
        tree["big/PART" + std::to_string(i) + ".BIN"] = noise(1024 * 1024, 100 + i);
    }
    for (int i = 0; i < 40; ++i) {
        tree["small/" + std::to_string(i % 4) + "/R" + std::to_string(i) + ".TXT"] =
            "row " + std::to_string(i) + "\n" + noise(3000, i);
    }
    const std::string marked = "MARKED-ENTRY-" + std::string(2000, 'm');
    tree["small/3/ZZLAST.TXT"] = marked;
    Tree expected = tree;
    for (const char* folder : {"big", "small", "small/0", "small/1", "small/2", "small/3"}) {
        expected[folder] = "<dir>";
    }
    expected["KEEP.TXT"] = "kept";

    // Encrypted entries take a reader of our own: each kind of it.
    std::vector<MadeArchive> kinds(std::begin(kGoodArchives), std::end(kGoodArchives));
    kinds.push_back({"traditional, stored",
                     [](const auto& a, const auto& t) { test::makeZip(a, t, "-0 -P s3cr3t"); },
                     "s3cr3t"});
    kinds.push_back({"aes128, stored",
                     [](const auto& a, const auto& t) { make7z(a, t, "-mx0 -mem=AES128"); },
                     "s3cr3t"});
    kinds.push_back(
        {"aes192", [](const auto& a, const auto& t) { make7z(a, t, "-mem=AES192"); }, "s3cr3t"});
    for (const MadeArchive& kind : kinds) {
        SCOPED_TRACE(kind.label);
        const auto archive = work_ / "QLMBIG.ZIP";
        makeAfresh(kind, archive, tree, out_.path(), {{"KEEP.TXT", "kept"}});
        Counted counted;
        ASSERT_EQ(extract(archive, kind.password, "", &counted), 0);
        EXPECT_TRUE(test::readTree(out_.path()) == expected);
        EXPECT_EQ(counted.total,
                  std::accumulate(tree.begin(), tree.end(), 0ull,
                                  [](auto n, auto& e) { return n + e.second.size(); }));
        EXPECT_EQ(counted.written, counted.total);
        // Bytes there without the tag are some other caller's: no context.
        Counted untagged;
        ASSERT_EQ(extract(archive, kind.password, "", &untagged, kContextTag + 1), 0);
        EXPECT_EQ(std::tie(untagged.total, untagged.messages), std::make_tuple(0ull, 0));

        // Stopped before anything is written, and once the first megabyte is.
        if (kind.label == std::string("deflated") || kind.label == std::string("aes256")) {
            for (const int stopAfter : {0, 1}) {
                Counted stopping;
                stopping.stopAfter = stopAfter;
                std::filesystem::remove_all(out_.path());
                test::writeTree(out_.path(), {{"KEEP.TXT", "kept"}, {"small/0/R0.TXT", "old"}});
                const Tree before = test::readTree(out_.path());
                EXPECT_EQ(extract(archive, kind.password, "", &stopping), code::kCancelled);
                EXPECT_TRUE(test::readTree(out_.path()) == before);
                EXPECT_LT(stopping.written, stopping.total) << stopAfter;
            }
        }
    }

    // Flips a byte in the stored data of the entry named `name`.
    const auto damage = [](const std::filesystem::path& archive, const std::string& name) {
        std::string bytes = test::readFile(archive);
        const auto at = bytes.find(name);  // the local header's copy comes first
        ASSERT_NE(at, std::string::npos);
        ASSERT_GE(at, 30u);
        const auto extra = static_cast<unsigned char>(bytes[at - 2]) |
                           (static_cast<unsigned char>(bytes[at - 1]) << 8);
        bytes[at + name.size() + extra + 20] ^= 0x20;
        test::writeFile(archive, bytes);
    };
    struct Broken {
        const char* label;
        std::int32_t code;
        std::function<void(const std::filesystem::path&)> make;
        std::optional<std::string> password;
    };
    const Broken broken[] = {
        {"one late entry damaged", code::kBadCrc,
         [&](const auto& archive) {
             test::makeZip(archive, tree, "-0");
             std::string bytes = test::readFile(archive);
             const auto at = bytes.find(marked);
             ASSERT_NE(at, std::string::npos);
             bytes[at + 100] ^= 0x20;
             test::writeFile(archive, bytes);
         },
         std::nullopt},
        {"one traditional entry damaged", code::kBadPassword,
         [&](const auto& archive) {
             test::makeZip(archive, tree, "-P right");
             damage(archive, "small/3/ZZLAST.TXT");
         },
         "right"},
        {"one AES entry damaged", code::kBadPassword,
         [&](const auto& archive) {
             test::make7zAes(archive, tree, "right");
             damage(archive, "small/3/ZZLAST.TXT");
         },
         "right"},
        {"wrong traditional password", code::kBadPassword,
         [&](const auto& archive) { test::makeZip(archive, tree, "-P right"); }, "wrong"},
        {"wrong AES password", code::kBadPassword,
         [&](const auto& archive) { test::make7zAes(archive, tree, "right"); }, "wrong"},
    };
    for (const Broken& b : broken) {
        SCOPED_TRACE(b.label);
        const auto archive = work_ / "QLMBIG.ZIP";
        std::filesystem::remove(archive);
        b.make(archive);
        std::filesystem::remove_all(out_.path());
        std::filesystem::create_directory(out_.path());
        test::writeTree(out_.path(), {{"small/0/R0.TXT", "present before"}});
        const Tree before = test::readTree(out_.path());
        EXPECT_EQ(extract(archive, b.password), b.code);
        EXPECT_TRUE(test::readTree(out_.path()) == before);
    }
}

// A kill at any moment of an archive's final renames (or of their undoing,
// after one failed), or while it is written: each name is as it was or as in
// the archive, and the next command completes or undoes the archive whole.
TEST_F(ExtractTest, KilledCommitIsFinishedByTheNextCommand) {
    const std::string deep = "1/2/3/4/5/6/7/8/9/10/11/12";
    const Tree archived = {{"A.TXT", "new a"}, {"B.TXT", "new b"}, {deep + "/C.TXT", "new c"}};
    test::makeZip(work_ / "QLM1.ZIP", archived);
    const Tree before = {{"A.TXT", "old a"}, {"B.TXT", "old b"}, {"KEEP.TXT", "kept"}};
    Tree after = before;
    after.insert_or_assign("A.TXT", "new a");
    after.insert_or_assign("B.TXT", "new b");
    after[deep + "/C.TXT"] = "new c";
    for (std::size_t slash = 0; slash != std::string::npos;) {
        slash = deep.find('/', slash + 1);
        after[deep.substr(0, slash)] = "<dir>";
    }
    const auto withoutStaging = [](Tree tree) {
        std::erase_if(tree, [](const auto& e) { return e.first.starts_with(".tyunzip-"); });
        return tree;
    };
    struct Mode {
        bool exchange;
        int failAt;  // the rename that fails, or -1
    };
    for (const Mode mode : {Mode{true, -1}, Mode{false, -1}, Mode{true, 1}, Mode{false, 2}}) {
        // -1: killed once the first file is written, before any rename.
        for (int killAt = -1; killAt < 40; ++killAt) {
            SCOPED_TRACE(std::to_string(mode.exchange) + " " + std::to_string(mode.failAt) +
                         " kill at " + std::to_string(killAt));
            std::filesystem::remove_all(out_.path());
            test::writeTree(out_.path(), before);
            Counted counted;
            const pid_t child = ::fork();
            if (child == 0) {
                withoutExchange = !mode.exchange;
                renamesBeforeFailure = mode.failAt;
                renamesBeforeKill = killAt;
                counted.killAfter = killAt == -1 ? 1 : -1;
                const auto result = extract(work_ / "QLM1.ZIP", std::nullopt, "", &counted);
                std::_Exit(killAt == -1 ? 99 : result);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
            for (const auto& [name, contents] : withoutStaging(test::readTree(out_.path()))) {
                EXPECT_TRUE((before.count(name) != 0 && before.at(name) == contents) ||
                            (after.count(name) != 0 && after.at(name) == contents))
                    << name << ": " << contents;
            }
            withoutExchange = !mode.exchange;
            removeLeftovers(out_.path());
            withoutExchange = false;
            const Tree tree = test::readTree(out_.path());
            if (!killed) {
                // Ran to its end: the rest of the kill points are past it.
                ASSERT_TRUE(WIFEXITED(status));
                EXPECT_EQ(WEXITSTATUS(status), mode.failAt < 0 ? 0 : code::kCreateOutputFailed);
                EXPECT_TRUE(tree == (mode.failAt < 0 ? after : before));
                break;
            }
            // Forward once the journal is written, until a rename failed;
            // from there either way, whole.
            if (killAt == -1) {
                EXPECT_TRUE(tree == before);
            } else if (mode.failAt < 0 || killAt <= mode.failAt) {
                EXPECT_TRUE(tree == after);
            } else {
                EXPECT_TRUE(tree == before || tree == after);
            }
        }
    }
}

}  // namespace
}  // namespace tyq::unzip
