#include "common/ShownText.h"

#include <gtest/gtest.h>

namespace tyq {
namespace {

// Sizes read as the window's: powers of 1000, one decimal, the unit going
// up where the rounding would show 1000.
TEST(SizeText, AsTheWindowShowsSizes) {
    const struct {
        std::int64_t bytes;
        const char* shown;
    } cases[] = {{0, "0 bytes"},
                 {999, "999 bytes"},
                 {1000, "1.0 kB"},
                 {10'485'760, "10.5 MB"},
                 {999'949, "999.9 kB"},
                 {999'950, "1.0 MB"},
                 {404'800'000, "404.8 MB"},
                 {5'000'000'000, "5.0 GB"}};
    for (const auto& c : cases) {
        EXPECT_EQ(sizeText(c.bytes), c.shown) << c.bytes;
    }
}

}  // namespace
}  // namespace tyq
