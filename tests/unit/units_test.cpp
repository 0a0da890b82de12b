// Pixel counts <-> SANE_Fixed millimetres, with the single-precision 25.4.
// The range and minimum-size tests check many more values through the table.
#include <gtest/gtest.h>

#include <cstdint>

#include "options/options.h"
#include "options/units_internal.h"

namespace {

TEST(PixelsToFixedMm, TruncatesTowardZero) {
    const struct {
        uint32_t pixels, resolution;
        SANE_Fixed expected;
    } cases[] = {
        {375, 600, 1040383},  // the exact 25.4 would give 1040384
        {0, 600, 0}, {5100, 0, 0}, {0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pixels << " pixels at " << c.resolution);
        EXPECT_EQ(pixels_to_fixed_mm(c.pixels, c.resolution), c.expected);
        // The signed form agrees wherever the pixel value is at least 0.
        EXPECT_EQ(signed_pixels_to_fixed_mm(c.pixels, c.resolution), c.expected);
    }
    // -6375473.6..: toward zero, not toward minus infinity.
    EXPECT_EQ(signed_pixels_to_fixed_mm(-2298, 600), -6375473);
    EXPECT_EQ(signed_pixels_to_fixed_mm(-30, 0), 0);
}

TEST(FixedMmToPixels, RoundsHalvesAwayFromZero) {
    const struct {
        SANE_Fixed value;
        uint32_t resolution;
        int32_t expected;
    } cases[] = {
        {6488064, 600, 2339},    // 99 mm: 2338.58 rounds up
        {14149222, 600, 5100},   // back from the flatbed width
        {559033, 600, 202},      // 201.500002; the exact 25.4 would give 201
        {-559033, 600, -202},    // away from zero on the negative side
        {6553600, 0, 0}, {0, 600, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " at " << c.resolution);
        EXPECT_EQ(fixed_mm_to_pixels(c.value, c.resolution), c.expected);
    }
}

}  // namespace
