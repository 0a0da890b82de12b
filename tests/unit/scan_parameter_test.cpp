// The options of a handle turned into the scan-manager's scan parameters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "options/options.h"
#include "tests/unit/option_test_support.h"

namespace {

using option_test::capability_600;
using option_test::mm;
using option_test::set_word;
using option_test::Table;

void expect_parameters(const ScanParameter& actual, const ScanParameter& expected) {
    EXPECT_EQ(actual.original_placement, expected.original_placement);
    EXPECT_EQ(actual.scan_side, expected.scan_side);
    EXPECT_EQ(actual.color_mode, expected.color_mode);
    EXPECT_EQ(actual.input_resolution, expected.input_resolution);
    EXPECT_EQ(actual.input_position_x, expected.input_position_x);
    EXPECT_EQ(actual.input_position_y, expected.input_position_y);
    EXPECT_EQ(actual.input_width, expected.input_width);
    EXPECT_EQ(actual.input_height, expected.input_height);
    EXPECT_EQ(actual.output_resolution, expected.output_resolution);
    EXPECT_EQ(actual.output_width, expected.output_width);
    EXPECT_EQ(actual.output_height, expected.output_height);
    EXPECT_EQ(actual.black_text_mode, expected.black_text_mode);
}

// Every field preset to a value no computation gives, so a field left
// unwritten shows.
ScanParameter garbage() {
    ScanParameter p;
    std::memset(&p, 0xA5, sizeof p);
    return p;
}

ScanParameter make(const DeviceOptions* options) {
    ScanParameter p = garbage();
    EXPECT_EQ(make_scan_parameter(options, &p), SANE_STATUS_GOOD);
    return p;
}

void set_source(DeviceOptions* options, const char* source) {
    char buffer[32] = {};
    std::strncpy(buffer, source, sizeof buffer - 1);
    SANE_Int info = 0;
    ASSERT_EQ(set_option_value(options, OPT_SOURCE, buffer, &info), SANE_STATUS_GOOD);
}

TEST(MakeScanParameter, WholeFlatbedAtHalfTheBaseResolution) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_RESOLUTION, 300).status, SANE_STATUS_GOOD);
    // black_text_support is not passed on.
    table->capability.black_text_support = 1;
    expect_parameters(make(table.get()), ScanParameter{0, 0, 2, 600, 0, 0, 5100, 7014, 300, 2550, 3507, 0});
}

TEST(MakeScanParameter, CentredDuplexFeederInGray) {
    Table table(capability_600({SCANNER_UNIT_ADF_DUPLEX}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    set_source(table.get(), "ADF Duplex");
    char gray[] = "Gray";
    SANE_Int info = 0;
    ASSERT_EQ(set_option_value(table.get(), OPT_MODE, gray, &info), SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_RESOLUTION, 150).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_BR_X, mm(100)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(table->slots[OPT_CENTER_SCAN].word, 1);
    ASSERT_EQ(table->slots[OPT_BR_Y].word, 23304601);
    // 591 is round(590.5): the half goes away from zero.
    expect_parameters(make(table.get()), ScanParameter{1, 1, 1, 600, 1369, 0, 2362, 8400, 150, 591, 2100, 0});
}

TEST(MakeScanParameter, CornersInEitherOrder) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_RESOLUTION, 300).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_TL_X, mm(100)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_TL_Y, mm(100)).status, SANE_STATUS_GOOD);
    // 99 mm is too close: the minimum-size rule puts both corners at 6375473.
    ASSERT_EQ(set_word(table.get(), OPT_BR_X, mm(99)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_BR_Y, mm(99)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(table->slots[OPT_BR_X].word, 6375473);
    ASSERT_EQ(table->slots[OPT_BR_Y].word, 6375473);
    const ScanParameter swapped = make(table.get());
    expect_parameters(swapped, ScanParameter{0, 0, 2, 600, 2298, 2298, 64, 64, 300, 32, 32, 0});

    table->slots[OPT_TL_X].word = 6375473;
    table->slots[OPT_BR_X].word = mm(100);
    table->slots[OPT_TL_Y].word = 6375473;
    table->slots[OPT_BR_Y].word = mm(100);
    expect_parameters(make(table.get()), swapped);
}

struct CentringCase {
    const char* label;
    const char* source;
    SANE_Word center;
    uint32_t position_x;
    uint32_t placement;
    uint32_t side;
};

class Centring : public ::testing::TestWithParam<CentringCase> {};

TEST_P(Centring, OnlyForAFeederWithValueOne) {
    const CentringCase& c = GetParam();
    Table table(capability_600({SCANNER_UNIT_ADF, SCANNER_UNIT_ADF_DUPLEX}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    set_source(table.get(), c.source);
    ASSERT_EQ(set_word(table.get(), OPT_TL_X, mm(10)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_BR_X, mm(110)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_CENTER_SCAN, c.center).status, SANE_STATUS_GOOD);
    const ScanParameter p = make(table.get());
    EXPECT_EQ(p.input_position_x, c.position_x);
    EXPECT_EQ(p.input_width, 2362u);  // the width never changes
    EXPECT_EQ(p.input_position_y, 0u);
    EXPECT_EQ(p.original_placement, c.placement);
    EXPECT_EQ(p.scan_side, c.side);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Centring,
    ::testing::Values(CentringCase{"flatbed_on", "Flatbed", 1, 236, 0, 0},
                      CentringCase{"adf_off", "Automatic Document Feeder", 0, 236, 1, 0},
                      CentringCase{"adf_on", "Automatic Document Feeder", 1, 1369, 1, 0},
                      CentringCase{"adf_two", "Automatic Document Feeder", 2, 236, 1, 0},
                      CentringCase{"duplex_on", "ADF Duplex", 1, 1369, 1, 1},
                      CentringCase{"duplex_off", "ADF Duplex", 0, 236, 1, 1}),
    [](const ::testing::TestParamInfo<CentringCase>& info) { return info.param.label; });

TEST(MakeScanParameter, CentresOnTheFeedersOwnWidth) {
    DeviceCapability cap = capability_600({SCANNER_UNIT_ADF});
    cap.adf_max_Width = 4000;  // narrower than the flatbed
    Table table(cap);
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    set_source(table.get(), "Automatic Document Feeder");
    ASSERT_EQ(set_word(table.get(), OPT_BR_X, mm(100)).status, SANE_STATUS_GOOD);
    // (4000 - 2362.2) / 2 pixels from the left edge.
    EXPECT_EQ(make(table.get()).input_position_x, 819u);
}

struct OutputCase {
    SANE_Word resolution;
    uint32_t width;
    uint32_t height;
};

class OutputSize : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputSize, ScalesTheRoundedInputSize) {
    const OutputCase& c = GetParam();
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_RESOLUTION, c.resolution).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_BR_X, mm(100)).status, SANE_STATUS_GOOD);  // 2362 pixels
    ASSERT_EQ(set_word(table.get(), OPT_BR_Y, mm(50)).status, SANE_STATUS_GOOD);   // 1181 pixels
    const ScanParameter p = make(table.get());
    EXPECT_EQ(p.input_width, 2362u);
    EXPECT_EQ(p.input_height, 1181u);
    EXPECT_EQ(p.output_resolution, static_cast<uint32_t>(c.resolution));
    EXPECT_EQ(p.output_width, c.width);
    EXPECT_EQ(p.output_height, c.height);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, OutputSize,
                         ::testing::Values(OutputCase{150, 591, 295},  // 590.5 up, 295.25 down
                                           OutputCase{75, 295, 148},   // 295.25 down, 147.625 up
                                           OutputCase{300, 1181, 591},  // 590.5 up
                                           OutputCase{125, 492, 246}));

TEST(MakeScanParameter, BaseResolutionZero) {
    DeviceCapability cap = capability_600();
    cap.basic_resolution = 0;
    Table table(cap);
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    // Values outside the (empty) ranges, as a table could hold them.
    table->slots[OPT_TL_X].word = mm(10);
    table->slots[OPT_BR_X].word = mm(100);
    table->slots[OPT_BR_Y].word = mm(100);
    expect_parameters(make(table.get()), ScanParameter{0, 0, 2, 0, 0, 0, 0, 0, 75, 0, 0, 0});
}

TEST(MakeScanParameter, ComparesSourceAndModeByText) {
    Table table(capability_600({SCANNER_UNIT_ADF_DUPLEX}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    set_source(table.get(), "ADF Duplex");
    ASSERT_EQ(set_word(table.get(), OPT_BR_X, mm(100)).status, SANE_STATUS_GOOD);
    table->slots[OPT_MODE].string = MODE_LIST[0];
    const ScanParameter shared = make(table.get());
    EXPECT_EQ(shared.scan_side, 1u);
    EXPECT_EQ(shared.color_mode, 1u);

    const std::string source_copy = "ADF Duplex";
    const std::string mode_copy = "Gray";
    table->slots[OPT_SOURCE].string = source_copy.c_str();
    table->slots[OPT_MODE].string = mode_copy.c_str();
    expect_parameters(make(table.get()), shared);

    const std::string adf_copy = "Automatic Document Feeder";
    table->slots[OPT_SOURCE].string = adf_copy.c_str();
    const ScanParameter adf = make(table.get());
    EXPECT_EQ(adf.original_placement, 1u);
    EXPECT_EQ(adf.scan_side, 0u);
    EXPECT_EQ(adf.input_position_x, 1369u);  // still centred
}

TEST(MakeScanParameter, ModeComparisonIsCaseSensitive) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const std::string lower = "gray";
    table->slots[OPT_MODE].string = lower.c_str();
    EXPECT_EQ(make(table.get()).color_mode, 2u);
}

// Area values left of 0 (possible only outside the ranges) give negative
// pixel values, stored as their 32-bit two's complement.
TEST(MakeScanParameter, NegativePositionIsTwosComplement) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    table->slots[OPT_TL_X].word = -mm(1);  // -23.6 pixels
    table->slots[OPT_BR_X].word = -mm(2);  // corners exchanged: left -2 mm, right -1 mm
    const ScanParameter p = make(table.get());
    EXPECT_EQ(p.input_position_x, static_cast<uint32_t>(-47));
    EXPECT_EQ(p.input_width, 24u);
}

}  // namespace
