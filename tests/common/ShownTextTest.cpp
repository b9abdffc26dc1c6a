#include "common/ShownText.h"

#include <gtest/gtest.h>

// Sizes read as the window's: powers of 1000, one decimal, the unit going up
// where the rounding would show 1000.
TEST(SizeText, AsTheWindowShowsSizes) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {999, "999 bytes"},  {1000, "1.0 kB"},        {999'949, "999.9 kB"},
        {999'950, "1.0 MB"}, {10'485'760, "10.5 MB"}, {5'000'000'000, "5.0 GB"}};
    for (const auto& [bytes, shown] : cases) {
        EXPECT_EQ(tyq::sizeText(bytes), shown) << bytes;
    }
}

// Names as a sentence lists them: "and" before the last one named, or
// before the count of those left out.
TEST(NamedInSentence, ListsAsASentenceDoes) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, ""},
        {{"A"}, "A"},
        {{"A", "B"}, "A and B"},
        {{"A", "B", "C"}, "A, B and C"},
        {{"A", "B", "C", "D", "E"}, "A, B, C and 2 more"}};
    for (const auto& [items, shown] : cases) {
        EXPECT_EQ(tyq::namedInSentence(items, 3), shown) << items.size();
    }
}
