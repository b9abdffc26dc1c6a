#include "common/Paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

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

TEST(ExpandHome, OnlyALeadingTildeMeansHome) {
    const char* saved = std::getenv("HOME");
    const std::string before = saved != nullptr ? saved : "";
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"/home/anna", "~", "/home/anna"},        {"/home/anna/", "~/QLM", "/home/anna/QLM"},
        {"/home/anna", "~/", "/home/anna/"},      {"/", "~/QLM", "/QLM"},
        {"/home/anna", "~anna/QLM", "~anna/QLM"}, {"/home/anna", "QLM/~", "QLM/~"},
        {"/home/anna", "/data/~/x", "/data/~/x"}, {"/home/anna", "", ""}};
    for (const auto& [home, typed, expanded] : cases) {
        setenv("HOME", home, 1);
        EXPECT_EQ(expandHome(typed), expanded) << home << " " << typed;
    }
    setenv("HOME", before.c_str(), 1);
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
