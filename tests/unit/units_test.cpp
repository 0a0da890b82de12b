// Pixel counts <-> SANE_Fixed millimetres, with the single-precision 25.4.
#include <gtest/gtest.h>

#include <cstdint>

#include "options/options.h"
#include "options/units_internal.h"

namespace {

struct PixelsCase {
    uint32_t pixels;
    uint32_t resolution;
    SANE_Fixed expected;
};

class PixelsToFixedMm : public ::testing::TestWithParam<PixelsCase> {};

TEST_P(PixelsToFixedMm, TruncatesTowardZero) {
    const PixelsCase& c = GetParam();
    EXPECT_EQ(pixels_to_fixed_mm(c.pixels, c.resolution), c.expected);
    // The signed form agrees wherever the pixel value is at least 0.
    EXPECT_EQ(signed_pixels_to_fixed_mm(c.pixels, c.resolution), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PixelsToFixedMm,
    ::testing::Values(PixelsCase{375, 600, 1040383},  // the exact 25.4 would give 1040384
                      PixelsCase{5100, 600, 14149222}, PixelsCase{7014, 600, 19459342},
                      PixelsCase{64, 600, 177558}, PixelsCase{5036, 600, 13971663},
                      PixelsCase{6950, 600, 19281783}, PixelsCase{8400, 600, 23304601},
                      PixelsCase{2426, 600, 6730590}, PixelsCase{2298, 600, 6375473}, PixelsCase{30, 600, 83230},
                      PixelsCase{0, 600, 0}, PixelsCase{5100, 0, 0}, PixelsCase{0, 0, 0}));

TEST(SignedPixelsToFixedMm, NegativePixelsTruncateTowardZero) {
    // -6375473.6..: toward zero, not toward minus infinity.
    EXPECT_EQ(signed_pixels_to_fixed_mm(-2298, 600), -6375473);
    EXPECT_EQ(signed_pixels_to_fixed_mm(-375, 600), -1040383);
    EXPECT_EQ(signed_pixels_to_fixed_mm(-30, 0), 0);
}

struct FixedCase {
    SANE_Fixed value;
    uint32_t resolution;
    int32_t expected;
};

class FixedMmToPixels : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedMmToPixels, RoundsHalvesAwayFromZero) {
    const FixedCase& c = GetParam();
    EXPECT_EQ(fixed_mm_to_pixels(c.value, c.resolution), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FixedMmToPixels,
    ::testing::Values(FixedCase{6553600, 600, 2362},    // 100 mm
                      FixedCase{6619136, 600, 2386},    // 101 mm
                      FixedCase{6488064, 600, 2339},    // 99 mm: 2338.58 rounds up
                      FixedCase{262144, 600, 94},       // 4 mm
                      FixedCase{229376, 600, 83},       // 3.5 mm
                      FixedCase{14149222, 600, 5100},   // back from the flatbed width
                      FixedCase{559033, 600, 202},      // 201.500002; the exact 25.4 would give 201
                      FixedCase{-559033, 600, -202},    // away from zero on the negative side
                      FixedCase{-6488064, 600, -2339},  //
                      FixedCase{6553600, 0, 0}, FixedCase{0, 600, 0}));

TEST(MmPerInch, IsTheSinglePrecisionValue) {
    EXPECT_EQ(MM_PER_INCH, 25.399999618530273);
}

}  // namespace
