#include "common/TempFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "support/TempDir.h"

namespace tyq {
namespace {

namespace fs = std::filesystem;

std::set<std::string> names(const fs::path& folder) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        found.insert(entry.path().filename().string());
    }
    return found;
}

// A name already taken (by a file or a link) is never opened: a fresh one is
// claimed; the file then goes, stays or takes its final name, after a move
// to another folder too, which never replaces what is there.
TEST(TempFile, ClaimsAFreeNameAndEndsAsTold) {
    enum class End { Drop, Release, Commit, MoveThenDrop, MoveOntoAFile };
    enum class InTheWay { Nothing, File, Link };
    for (const InTheWay way : {InTheWay::Nothing, InTheWay::File, InTheWay::Link}) {
        for (const End end :
             {End::Drop, End::Release, End::Commit, End::MoveThenDrop, End::MoveOntoAFile}) {
            const test::TempDir dir;
            const fs::path folder = dir / "staging";
            fs::create_directory(folder);
            if (way == InTheWay::File) {
                test::writeFile(folder / "7", "old");
            } else if (way == InTheWay::Link) {
                test::writeFile(dir / "target", "old");
                fs::create_symlink(dir / "target", folder / "7");
            }
            const std::set<std::string> before = names(folder);
            const fs::path other = dir / "other";
            fs::create_directory(other);
            const int into = ::open(other.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(into, 0);
            const int at = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(at, 0);
            std::string claimed;
            {
                TempFile file;
                ASSERT_EQ(file.create(at, "", 0600, "7"), 0);
                claimed = file.name();
                EXPECT_EQ(claimed == "7", way == InTheWay::Nothing);
                EXPECT_FALSE(claimed.empty());
                EXPECT_EQ(claimed.find_first_not_of("0123456789"), std::string::npos) << claimed;
                ASSERT_EQ(::write(file.fd(), "new", 3), 3);
                if (end == End::Release) {
                    file.release();
                } else if (end == End::Commit) {
                    ASSERT_EQ(file.commit(dir / "final"), 0);
                } else if (end == End::MoveThenDrop) {
                    ASSERT_EQ(file.moveTo(into), 0);
                    EXPECT_EQ(names(other), std::set<std::string>{claimed});
                    EXPECT_EQ(names(folder), before);
                } else if (end == End::MoveOntoAFile) {
                    test::writeFile(other / claimed, "kept");
                    EXPECT_EQ(file.moveTo(into), EEXIST);
                }
            }
            ::close(at);
            ::close(into);
            EXPECT_EQ(names(other), end == End::MoveOntoAFile ? std::set<std::string>{claimed}
                                                              : std::set<std::string>{});
            if (end == End::MoveOntoAFile) {
                EXPECT_EQ(test::readFile(other / claimed), "kept");
            }
            std::set<std::string> expected = before;
            if (end == End::Release) {
                expected.insert(claimed);
            }
            EXPECT_EQ(names(folder), expected);
            EXPECT_EQ(fs::exists(dir / "final"), end == End::Commit);
            if (end == End::Commit) {
                EXPECT_EQ(test::readFile(dir / "final"), "new");
            }
            if (way == InTheWay::Link) {
                EXPECT_EQ(test::readFile(dir / "target"), "old");
            }
        }
    }
}

TEST(TempFile, FailsInAFolderThatIsNotThere) {
    const test::TempDir dir;
    TempFile file;
    EXPECT_EQ(file.create(dir / "missing", ".tmp-", 0600), ENOENT);
    EXPECT_FALSE(file.valid());
}

}  // namespace
}  // namespace tyq
