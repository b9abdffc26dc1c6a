#include "common/Paths.h"

#include <gtest/gtest.h>

#include "common/SharedLibrary.h"

namespace tyq {
namespace {

TEST(ParentFolder, CutsAtTheLastSlash) {
    const std::pair<const char*, const char*> cases[] = {
        {"/data/new", "/data"}, {"/data/new/", "/data/new"},
        {"/data", "/"},         {"Data", "."},
        {"a/b", "a"},           {"", "."}};
    for (const auto& [path, parent] : cases) {
        EXPECT_EQ(parentFolder(path), parent) << path;
    }
}

TEST(ExecutablePath, NamesThisTest) {
    EXPECT_EQ(executablePath().filename(), "common_tests");
    EXPECT_EQ(executableFolder(), executablePath().parent_path());
}

TEST(CurrentDirectory, MatchesTheFileSystemView) {
    EXPECT_EQ(currentDirectory().value_or(""), std::filesystem::current_path().string());
}

TEST(SharedLibrary, RefusesRelativeAndMissingFiles) {
    EXPECT_FALSE(SharedLibrary("libc.so.6").loaded());
    EXPECT_FALSE(SharedLibrary("/nonexistent/libx.so").loaded());
    EXPECT_EQ(SharedLibrary("/nonexistent/libx.so").entry("x"), nullptr);
}

}  // namespace
}  // namespace tyq
