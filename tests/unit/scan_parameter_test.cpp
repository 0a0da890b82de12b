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
using option_test::set_string;
using option_test::set_word;
using option_test::Table;

// The twelve fields in their order, so a mismatch shows them all at once.
std::vector<uint32_t> fields(const ScanParameter& p) {
    return {p.original_placement, p.scan_side,         p.color_mode,        p.input_resolution,
            p.input_position_x,   p.input_position_y,  p.input_width,       p.input_height,
            p.output_resolution,  p.output_width,      p.output_height,     p.black_text_mode};
}

// Every field preset to a value no computation gives, so a field left
// unwritten shows.
ScanParameter make(const DeviceOptions* options) {
    ScanParameter p;
    std::memset(&p, 0xA5, sizeof p);
    EXPECT_EQ(make_scan_parameter(options, &p), SANE_STATUS_GOOD);
    return p;
}

void set_words(DeviceOptions* options, std::initializer_list<std::pair<SANE_Int, SANE_Word>> values) {
    for (const auto& [option, value] : values) {
        ASSERT_EQ(set_word(options, option, value).status, SANE_STATUS_GOOD) << "option " << option;
    }
}

TEST(MakeScanParameter, WholeFlatbedAtHalfTheBaseResolution) {
    Table table(capability_600());
    set_words(table.get(), {{OPT_RESOLUTION, 300}});
    table->capability.black_text_support = 1;  // not passed on
    EXPECT_EQ(fields(make(table.get())), (std::vector<uint32_t>{0, 0, 2, 600, 0, 0, 5100, 7014, 300, 2550, 3507, 0}));
}

TEST(MakeScanParameter, CentredDuplexFeederInGray) {
    Table table(capability_600({SCANNER_UNIT_ADF_DUPLEX}));
    ASSERT_EQ(set_string(table.get(), OPT_SOURCE, "ADF Duplex").status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_string(table.get(), OPT_MODE, "Gray").status, SANE_STATUS_GOOD);
    set_words(table.get(), {{OPT_RESOLUTION, 150}, {OPT_BR_X, mm(100)}});
    ASSERT_EQ(table->slots[OPT_CENTER_SCAN].word, 1);
    ASSERT_EQ(table->slots[OPT_BR_Y].word, 23304601);
    // 591 is round(590.5): the half goes away from zero.
    EXPECT_EQ(fields(make(table.get())), (std::vector<uint32_t>{1, 1, 1, 600, 1369, 0, 2362, 8400, 150, 591, 2100, 0}));
}

TEST(MakeScanParameter, CornersInEitherOrder) {
    Table table(capability_600());
    // 99 mm is too close: the minimum-size rule puts both corners at 6375473.
    set_words(table.get(),
              {{OPT_RESOLUTION, 300}, {OPT_TL_X, mm(100)}, {OPT_TL_Y, mm(100)}, {OPT_BR_X, mm(99)}, {OPT_BR_Y, mm(99)}});
    ASSERT_EQ(table->slots[OPT_BR_X].word, 6375473);
    ASSERT_EQ(table->slots[OPT_BR_Y].word, 6375473);
    const std::vector<uint32_t> expected{0, 0, 2, 600, 2298, 2298, 64, 64, 300, 32, 32, 0};
    EXPECT_EQ(fields(make(table.get())), expected);

    table->slots[OPT_TL_X].word = table->slots[OPT_TL_Y].word = 6375473;
    table->slots[OPT_BR_X].word = table->slots[OPT_BR_Y].word = mm(100);
    EXPECT_EQ(fields(make(table.get())), expected);
}

TEST(MakeScanParameter, CentresOnlyAFeederWhoseValueIsOne) {
    const struct {
        const char* source;
        SANE_Word center;
        uint32_t position_x, placement;
    } cases[] = {
        {"Flatbed", 1, 236, 0},
        {"Automatic Document Feeder", 0, 236, 1},
        {"Automatic Document Feeder", 1, 1369, 1},
        {"Automatic Document Feeder", 2, 236, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.source << ", set-center-scan " << c.center);
        Table table(capability_600({SCANNER_UNIT_ADF}));
        ASSERT_EQ(set_string(table.get(), OPT_SOURCE, c.source).status, SANE_STATUS_GOOD);
        set_words(table.get(), {{OPT_TL_X, mm(10)}, {OPT_BR_X, mm(110)}, {OPT_CENTER_SCAN, c.center}});
        const ScanParameter p = make(table.get());
        EXPECT_EQ(p.input_position_x, c.position_x);
        EXPECT_EQ(p.input_width, 2362u);  // the width never changes
        EXPECT_EQ(p.input_position_y, 0u);
        EXPECT_EQ(p.original_placement, c.placement);
        EXPECT_EQ(p.scan_side, 0u);
    }
}

TEST(MakeScanParameter, CentresOnTheFeedersOwnWidth) {
    DeviceCapability cap = capability_600({SCANNER_UNIT_ADF});
    cap.adf_max_Width = 4000;  // narrower than the flatbed
    Table table(cap);
    ASSERT_EQ(set_string(table.get(), OPT_SOURCE, "Automatic Document Feeder").status, SANE_STATUS_GOOD);
    set_words(table.get(), {{OPT_BR_X, mm(100)}});
    // (4000 - 2362.2) / 2 pixels from the left edge.
    EXPECT_EQ(make(table.get()).input_position_x, 819u);
}

TEST(MakeScanParameter, OutputScalesTheRoundedInputSizeHalvesAwayFromZero) {
    const struct {
        SANE_Word resolution;
        uint32_t width, height;
    } cases[] = {
        {150, 591, 295},  // 590.5 up, 295.25 down
        {75, 295, 148},   // 295.25 down, 147.625 up
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resolution);
        Table table(capability_600());
        // 2362 by 1181 pixels at 600 dpi.
        set_words(table.get(), {{OPT_RESOLUTION, c.resolution}, {OPT_BR_X, mm(100)}, {OPT_BR_Y, mm(50)}});
        const ScanParameter p = make(table.get());
        EXPECT_EQ(p.input_width, 2362u);
        EXPECT_EQ(p.input_height, 1181u);
        EXPECT_EQ(p.output_resolution, static_cast<uint32_t>(c.resolution));
        EXPECT_EQ(p.output_width, c.width);
        EXPECT_EQ(p.output_height, c.height);
    }
}

TEST(MakeScanParameter, BaseResolutionZero) {
    DeviceCapability cap = capability_600();
    cap.basic_resolution = 0;
    Table table(cap);
    // Values outside the (empty) ranges, as a table could hold them.
    table->slots[OPT_TL_X].word = mm(10);
    table->slots[OPT_BR_X].word = mm(100);
    table->slots[OPT_BR_Y].word = mm(100);
    EXPECT_EQ(fields(make(table.get())), (std::vector<uint32_t>{0, 0, 2, 0, 0, 0, 0, 0, 75, 0, 0, 0}));
}

TEST(MakeScanParameter, ComparesSourceAndModeByTextCaseSensitively) {
    Table table(capability_600({SCANNER_UNIT_ADF_DUPLEX}));
    ASSERT_EQ(set_string(table.get(), OPT_SOURCE, "ADF Duplex").status, SANE_STATUS_GOOD);
    set_words(table.get(), {{OPT_BR_X, mm(100)}});
    table->slots[OPT_MODE].string = MODE_LIST[0];
    const ScanParameter shared = make(table.get());
    EXPECT_EQ(shared.scan_side, 1u);
    EXPECT_EQ(shared.color_mode, 1u);

    const std::string source_copy = "ADF Duplex";
    const std::string mode_copy = "Gray";
    table->slots[OPT_SOURCE].string = source_copy.c_str();
    table->slots[OPT_MODE].string = mode_copy.c_str();
    EXPECT_EQ(fields(make(table.get())), fields(shared));

    const std::string adf_copy = "Automatic Document Feeder";
    const std::string lower_gray = "gray";
    table->slots[OPT_SOURCE].string = adf_copy.c_str();
    table->slots[OPT_MODE].string = lower_gray.c_str();
    const ScanParameter adf = make(table.get());
    EXPECT_EQ(adf.original_placement, 1u);
    EXPECT_EQ(adf.scan_side, 0u);
    EXPECT_EQ(adf.input_position_x, 1369u);  // still centred
    EXPECT_EQ(adf.color_mode, 2u);
}

}  // namespace
