#include "common/FileSearch.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace tyq {
namespace {

struct MatchCase {
    const char* name;
    bool qlmAny;
    bool qlmZip;
    bool anyZip;
};

class PatternTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(PatternTest, MatchesWithoutRegardToCase) {
    const auto& c = GetParam();
    EXPECT_EQ(matchesPattern(c.name, NamePattern::QlmAny), c.qlmAny) << c.name;
    EXPECT_EQ(matchesPattern(c.name, NamePattern::QlmZip), c.qlmZip) << c.name;
    EXPECT_EQ(matchesPattern(c.name, NamePattern::AnyZip), c.anyZip) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, PatternTest,
                         ::testing::Values(MatchCase{"QLM0101.ZIP", true, true, true},
                                           MatchCase{"qlm0101.zip", true, true, true},
                                           MatchCase{"qlmdata.txt", true, false, false},
                                           MatchCase{"QLMREAD", true, false, false},
                                           MatchCase{"QLM.ZIP", true, true, true},
                                           MatchCase{"data.zip", false, false, true},
                                           MatchCase{"DATA.ZIP.bak", false, false, false},
                                           MatchCase{"XQLM.ZIP", false, false, true},
                                           MatchCase{"QL.ZIP", false, false, true},
                                           MatchCase{".zip", false, false, true},
                                           MatchCase{"QLMzip", true, false, false}));

TEST(FindEntries, ListsMatchesInCaseInsensitiveOrder) {
    test::TempDir dir;
    for (const char* name : {"qlmB.zip", "QLMa.ZIP", "QLMC.ZIP", "data.zip", "QLMREAD"}) {
        test::writeFile(dir / name, "x");
    }
    std::filesystem::create_directory(dir / "QLMDIR.ZIP");
    EXPECT_EQ(findEntries(dir.path(), NamePattern::QlmZip),
              (std::vector<std::string>{"QLMa.ZIP", "qlmB.zip", "QLMC.ZIP", "QLMDIR.ZIP"}));
    EXPECT_EQ(findEntries(dir.path(), NamePattern::QlmAny).size(), 5u);
    EXPECT_TRUE(findEntries(dir / "missing", NamePattern::AnyZip).empty());
}

}  // namespace
}  // namespace tyq
