// Reading and setting options: constraints, adjustments, info bits, the
// source follow-up and the minimum scan size.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "options/options.h"
#include "tests/unit/option_test_support.h"

namespace {

using option_test::capability_600;
using option_test::mm;
using option_test::set_word;
using option_test::Table;

constexpr SANE_Int INEXACT = SANE_INFO_INEXACT;
constexpr SANE_Int RELOAD_OPTIONS = SANE_INFO_RELOAD_OPTIONS;
constexpr SANE_Int RELOAD_PARAMS = SANE_INFO_RELOAD_PARAMS;

// Sets a string option from a copy of `text`; returns status, info, buffer.
struct StringSet {
    SANE_Status status;
    SANE_Int info;
    std::string buffer;
};

StringSet set_string(DeviceOptions* options, SANE_Int option, const char* text) {
    char buffer[64] = {};
    std::strncpy(buffer, text, sizeof buffer - 1);
    StringSet result{SANE_STATUS_GOOD, 0, {}};
    result.status = set_option_value(options, option, buffer, &result.info);
    result.buffer = buffer;
    return result;
}

SANE_Word get_word(DeviceOptions* options, SANE_Int option) {
    SANE_Word word = -12345;
    EXPECT_EQ(get_option_value(options, option, &word), SANE_STATUS_GOOD);
    return word;
}

// ------------------------------------------------------------ resolution

struct ResolutionCase {
    SANE_Word requested;
    SANE_Word stored;
    SANE_Int info;
};

class ResolutionSet : public ::testing::TestWithParam<ResolutionCase> {};

TEST_P(ResolutionSet, TakesTheNearestListWord) {
    const ResolutionCase& c = GetParam();
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const auto result = set_word(table.get(), OPT_RESOLUTION, c.requested);
    EXPECT_EQ(result.status, SANE_STATUS_GOOD);
    EXPECT_EQ(result.info, c.info);
    EXPECT_EQ(result.buffer, c.stored);  // rewritten only when adjusted
    EXPECT_EQ(get_word(table.get(), OPT_RESOLUTION), c.stored);
}

INSTANTIATE_TEST_SUITE_P(Values, ResolutionSet,
                         ::testing::Values(ResolutionCase{180, 175, INEXACT | RELOAD_PARAMS},
                                           ResolutionCase{250, 200, INEXACT | RELOAD_PARAMS},  // tie: earlier word
                                           ResolutionCase{75, 75, RELOAD_PARAMS},
                                           ResolutionCase{300, 300, RELOAD_PARAMS},
                                           ResolutionCase{150, 150, RELOAD_PARAMS},
                                           ResolutionCase{112, 100, INEXACT | RELOAD_PARAMS},
                                           ResolutionCase{113, 125, INEXACT | RELOAD_PARAMS},
                                           ResolutionCase{0, 75, INEXACT | RELOAD_PARAMS},
                                           ResolutionCase{-600, 75, INEXACT | RELOAD_PARAMS},
                                           ResolutionCase{1200, 300, INEXACT | RELOAD_PARAMS}));

// ------------------------------------------------------------ mode

struct ModeCase {
    const char* requested;
    SANE_Status status;
    const char* stored;  // expected slot value afterwards (a MODE_LIST entry)
    const char* buffer;
    SANE_Int info;
};

class ModeSet : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeSet, MatchesIgnoringCase) {
    const ModeCase& c = GetParam();
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const auto result = set_string(table.get(), OPT_MODE, c.requested);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.info, c.info);
    EXPECT_EQ(result.buffer, c.buffer);
    EXPECT_EQ(table->slots[OPT_MODE].string, c.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ModeSet,
    ::testing::Values(ModeCase{"gray", SANE_STATUS_GOOD, MODE_LIST[0], "Gray", INEXACT | RELOAD_PARAMS},
                      ModeCase{"Gray", SANE_STATUS_GOOD, MODE_LIST[0], "Gray", RELOAD_PARAMS},
                      ModeCase{"COLOR", SANE_STATUS_GOOD, MODE_LIST[1], "Color", INEXACT | RELOAD_PARAMS},
                      ModeCase{"Color", SANE_STATUS_GOOD, MODE_LIST[1], "Color", RELOAD_PARAMS},
                      ModeCase{"Lineart", SANE_STATUS_INVAL, MODE_LIST[1], "Lineart", 0},
                      ModeCase{"Gra", SANE_STATUS_INVAL, MODE_LIST[1], "Gra", 0},
                      ModeCase{"", SANE_STATUS_INVAL, MODE_LIST[1], "", 0}));

// ------------------------------------------------------------ source

TEST(SourceSet, LowerCaseFlatbedIsAdjusted) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const auto result = set_string(table.get(), OPT_SOURCE, "flatbed");
    EXPECT_EQ(result.status, SANE_STATUS_GOOD);
    EXPECT_EQ(result.info, INEXACT | RELOAD_OPTIONS | RELOAD_PARAMS);
    EXPECT_EQ(result.buffer, "Flatbed");
    EXPECT_EQ(table->slots[OPT_SOURCE].string, SOURCE_FLATBED);
}

TEST(SourceSet, SameSourceAgainStillResetsTheArea) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_TL_X, mm(10)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_TL_Y, mm(20)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_BR_X, mm(100)).status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_BR_Y, mm(200)).status, SANE_STATUS_GOOD);

    const auto result = set_string(table.get(), OPT_SOURCE, "Flatbed");
    EXPECT_EQ(result.status, SANE_STATUS_GOOD);
    EXPECT_EQ(result.info, RELOAD_OPTIONS | RELOAD_PARAMS);
    EXPECT_EQ(get_word(table.get(), OPT_TL_X), 0);
    EXPECT_EQ(get_word(table.get(), OPT_TL_Y), 0);
    EXPECT_EQ(get_word(table.get(), OPT_BR_X), 14149222);
    EXPECT_EQ(get_word(table.get(), OPT_BR_Y), 19459342);
}

struct FeederCase {
    const char* label;
    std::vector<ScannerUnit> units;
    const char* requested;
    const char* stored;
    SANE_Int info;
};

class FeederSourceSet : public ::testing::TestWithParam<FeederCase> {};

TEST_P(FeederSourceSet, CenteringFollowsTheSource) {
    const FeederCase& c = GetParam();
    Table table(capability_600(c.units));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);

    const auto to_feeder = set_string(table.get(), OPT_SOURCE, c.requested);
    ASSERT_EQ(to_feeder.status, SANE_STATUS_GOOD);
    EXPECT_EQ(to_feeder.info, c.info);
    EXPECT_EQ(table->slots[OPT_SOURCE].string, c.stored);  // the shared string itself
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT);
    EXPECT_EQ(get_word(table.get(), OPT_CENTER_SCAN), SANE_TRUE);
    // The feeder's sizes: 8400 pixels high instead of the flatbed's 7014.
    EXPECT_EQ(table->ranges[1].max, 23127042);
    EXPECT_EQ(table->ranges[3].min, 177558);
    EXPECT_EQ(table->ranges[3].max, 23304601);
    EXPECT_EQ(get_word(table.get(), OPT_BR_Y), 23304601);

    const auto back = set_string(table.get(), OPT_SOURCE, "Flatbed");
    ASSERT_EQ(back.status, SANE_STATUS_GOOD);
    EXPECT_EQ(back.info, RELOAD_OPTIONS | RELOAD_PARAMS);
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);
    EXPECT_EQ(get_word(table.get(), OPT_CENTER_SCAN), SANE_FALSE);
    EXPECT_EQ(table->ranges[3].max, 19459342);
    EXPECT_EQ(get_word(table.get(), OPT_BR_Y), 19459342);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, FeederSourceSet,
    ::testing::Values(
        FeederCase{"adf", {SCANNER_UNIT_ADF}, "Automatic Document Feeder", SOURCE_ADF, RELOAD_OPTIONS | RELOAD_PARAMS},
        FeederCase{"adf_lower_case", {SCANNER_UNIT_ADF}, "automatic document feeder", SOURCE_ADF,
                   INEXACT | RELOAD_OPTIONS | RELOAD_PARAMS},
        FeederCase{"duplex", {SCANNER_UNIT_ADF_DUPLEX}, "ADF Duplex", SOURCE_ADF_DUPLEX,
                   RELOAD_OPTIONS | RELOAD_PARAMS}),
    [](const ::testing::TestParamInfo<FeederCase>& info) { return info.param.label; });

TEST(SourceSet, SourceTheDeviceLacksIsRefused) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const auto result = set_string(table.get(), OPT_SOURCE, "ADF Duplex");
    EXPECT_EQ(result.status, SANE_STATUS_INVAL);
    EXPECT_EQ(result.info, 0);
    EXPECT_EQ(table->slots[OPT_SOURCE].string, SOURCE_FLATBED);
}

// ------------------------------------------------------------ area clamping

struct ClampCase {
    const char* label;
    SANE_Int option;
    SANE_Word requested;
    SANE_Word stored;
    SANE_Int info;
};

class AreaClamp : public ::testing::TestWithParam<ClampCase> {};

TEST_P(AreaClamp, ClampsIntoTheRange) {
    const ClampCase& c = GetParam();
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const auto result = set_word(table.get(), c.option, c.requested);
    EXPECT_EQ(result.status, SANE_STATUS_GOOD);
    EXPECT_EQ(result.info, c.info);
    EXPECT_EQ(result.buffer, c.stored);
    EXPECT_EQ(get_word(table.get(), c.option), c.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Values, AreaClamp,
    ::testing::Values(ClampCase{"tl_x_below", OPT_TL_X, -327680, 0, INEXACT | RELOAD_PARAMS},
                      ClampCase{"tl_x_above", OPT_TL_X, 13971664, 13971663, INEXACT | RELOAD_PARAMS},
                      ClampCase{"tl_x_inside", OPT_TL_X, mm(50), mm(50), RELOAD_PARAMS},
                      ClampCase{"tl_y_above", OPT_TL_Y, INT32_MAX, 19281783, INEXACT | RELOAD_PARAMS},
                      ClampCase{"br_x_above", OPT_BR_X, mm(300), 14149222, INEXACT | RELOAD_PARAMS},
                      ClampCase{"br_x_at_max", OPT_BR_X, 14149222, 14149222, RELOAD_PARAMS},
                      ClampCase{"br_y_below", OPT_BR_Y, 0, 177558, INEXACT | RELOAD_PARAMS},
                      ClampCase{"br_y_at_min", OPT_BR_Y, 177558, 177558, RELOAD_PARAMS}),
    [](const ::testing::TestParamInfo<ClampCase>& info) { return info.param.label; });

// ------------------------------------------------------------ minimum size

struct MinimumCase {
    const char* label;
    DeviceCapability capability;
    // Sets done first, each must succeed.
    std::vector<std::pair<SANE_Int, SANE_Word>> before;
    SANE_Int option;
    SANE_Word requested;
    SANE_Int info;
    SANE_Int moved;         // the bottom-right option that may move
    SANE_Word moved_value;  // its value afterwards
};

DeviceCapability capability_min_height_128() {
    DeviceCapability cap = capability_600();
    cap.flatbed_min_height = 128;
    return cap;
}

DeviceCapability capability_base_zero() {
    DeviceCapability cap = capability_600();
    cap.basic_resolution = 0;
    return cap;
}

std::vector<MinimumCase> minimum_cases() {
    const SANE_Int changed = INEXACT | RELOAD_PARAMS;
    return {
        // t 2362, b 2386: d 24 < 64, br-x to 2426 pixels.
        {"br_x_right_of_tl_x", capability_600(), {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(101), changed, OPT_BR_X,
         6730590},
        // b 2339: d -23, br-x to 2298 pixels, left of tl-x.
        {"br_x_left_of_tl_x", capability_600(), {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(99), changed, OPT_BR_X,
         6375473},
        // d 0 counts as not negative.
        {"br_x_on_tl_x", capability_600(), {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(100), changed, OPT_BR_X, 6730590},
        // Moved below the range's min (177558), and left there.
        {"br_x_below_range", capability_600(), {{OPT_TL_X, mm(4)}}, OPT_BR_X, 229376, changed, OPT_BR_X, 83230},
        // Setting tl-x moves br-x, never tl-x: t 2339, b 2362, br-x to 2403 pixels.
        {"tl_x_moves_br_x", capability_600(), {{OPT_BR_X, mm(100)}}, OPT_TL_X, mm(99), changed, OPT_BR_X, 6666780},
        // |d| equal to the minimum is enough: 5036 to 5100.
        {"exactly_the_minimum", capability_600(), {}, OPT_TL_X, 13971663, RELOAD_PARAMS, OPT_BR_X, 14149222},
        {"far_enough", capability_600(), {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(110), RELOAD_PARAMS, OPT_BR_X, mm(110)},
        // The vertical rule uses the minimum height: 2362 + 128.
        {"br_y_uses_min_height", capability_min_height_128(), {{OPT_TL_Y, mm(100)}}, OPT_BR_Y, mm(101), changed,
         OPT_BR_Y, 6908149},
        {"tl_y_moves_br_y", capability_min_height_128(), {{OPT_BR_Y, mm(100)}}, OPT_TL_Y, mm(99), changed, OPT_BR_Y,
         pixels_to_fixed_mm(2339 + 128, 600)},
        // The horizontal rule does not touch the vertical corner.
        {"x_leaves_y_alone", capability_600(), {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(101), changed, OPT_BR_Y,
         19459342},
        // t 47, b 30: d -17, so br-x goes to pixel -17, left of 0.
        {"negative_pixel", capability_600(), {{OPT_TL_X, mm(4)}, {OPT_BR_X, 229376}}, OPT_TL_X, mm(2), changed,
         OPT_BR_X, -47164},
        // Without a base resolution everything is 0 pixels: br-x is set to 0.
        {"base_resolution_zero", capability_base_zero(), {}, OPT_TL_X, 0, changed, OPT_BR_X, 0},
    };
}

class MinimumSize : public ::testing::TestWithParam<MinimumCase> {};

TEST_P(MinimumSize, MovesOnlyTheBottomRightCorner) {
    const MinimumCase& c = GetParam();
    Table table(c.capability);
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    for (const auto& [option, value] : c.before) {
        ASSERT_EQ(set_word(table.get(), option, value).status, SANE_STATUS_GOOD);
    }
    const auto result = set_word(table.get(), c.option, c.requested);
    EXPECT_EQ(result.status, SANE_STATUS_GOOD);
    EXPECT_EQ(result.info, c.info);
    EXPECT_EQ(result.buffer, c.requested);  // the caller's buffer is not changed
    EXPECT_EQ(get_word(table.get(), c.moved), c.moved_value);
    if (c.option == OPT_TL_X || c.option == OPT_TL_Y) {
        EXPECT_EQ(get_word(table.get(), c.option), c.requested);  // the top-left corner never moves
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MinimumSize, ::testing::ValuesIn(minimum_cases()),
                         [](const ::testing::TestParamInfo<MinimumCase>& info) { return info.param.label; });

TEST(MinimumSize, FeederUsesItsOwnMinimum) {
    DeviceCapability cap = capability_600({SCANNER_UNIT_ADF});
    cap.adf_min_Width = 100;
    Table table(cap);
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    ASSERT_EQ(set_string(table.get(), OPT_SOURCE, "Automatic Document Feeder").status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_TL_X, mm(100)).status, SANE_STATUS_GOOD);
    const auto result = set_word(table.get(), OPT_BR_X, mm(101));
    EXPECT_EQ(result.info, INEXACT | RELOAD_PARAMS);
    EXPECT_EQ(get_word(table.get(), OPT_BR_X), pixels_to_fixed_mm(2362 + 100, 600));
}

// ------------------------------------------------------------ set-center-scan

TEST(CenterScanSet, StoresAnyWordWithoutFollowUp) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const auto on = set_word(table.get(), OPT_CENTER_SCAN, SANE_TRUE);
    EXPECT_EQ(on.status, SANE_STATUS_GOOD);
    EXPECT_EQ(on.info, 0);
    EXPECT_EQ(get_word(table.get(), OPT_CENTER_SCAN), SANE_TRUE);
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);  // still inactive

    const auto seven = set_word(table.get(), OPT_CENTER_SCAN, 7);
    EXPECT_EQ(seven.status, SANE_STATUS_GOOD);
    EXPECT_EQ(seven.info, 0);
    EXPECT_EQ(get_word(table.get(), OPT_CENTER_SCAN), 7);
}

// ------------------------------------------------------------ refusals

struct RefusalCase {
    const char* label;
    SANE_Int option;
    std::function<void(DeviceOptions*)> prepare;  // may break the table's rules
    const char* text;                            // string buffer, or
    SANE_Word word;                              // word buffer when text is NULL
};

std::vector<RefusalCase> refusal_cases() {
    const auto nothing = [](DeviceOptions*) {};
    const auto not_adjustable = [](SANE_Int option) {
        return [option](DeviceOptions* o) { o->slots[option].flags &= ~SLOT_ADJUSTABLE; };
    };
    return {
        {"count_option", OPT_NUM_OPTIONS, nothing, nullptr, 11},
        {"group_option", OPT_GEOMETRY_GROUP, nothing, nullptr, 1},
        {"mode_not_in_list", OPT_MODE, nothing, "Lineart", 0},
        {"source_not_in_list", OPT_SOURCE, nothing, "Lineart", 0},
        {"range_not_adjustable", OPT_TL_X, not_adjustable(OPT_TL_X), nullptr, -327680},
        {"word_list_not_adjustable", OPT_RESOLUTION, not_adjustable(OPT_RESOLUTION), nullptr, 180},
        {"string_case_not_adjustable", OPT_MODE, not_adjustable(OPT_MODE), "gray", 0},
        {"range_missing", OPT_BR_X, [](DeviceOptions* o) { o->descriptors[OPT_BR_X].constraint.range = nullptr; },
         nullptr, mm(10)},
        {"range_wrong_type", OPT_BR_X, [](DeviceOptions* o) { o->descriptors[OPT_BR_X].type = SANE_TYPE_BOOL; },
         nullptr, mm(10)},
        {"word_list_missing", OPT_RESOLUTION,
         [](DeviceOptions* o) { o->descriptors[OPT_RESOLUTION].constraint.word_list = nullptr; }, nullptr, 100},
        {"word_list_wrong_type", OPT_RESOLUTION,
         [](DeviceOptions* o) { o->descriptors[OPT_RESOLUTION].type = SANE_TYPE_STRING; }, nullptr, 100},
        {"string_list_missing", OPT_MODE,
         [](DeviceOptions* o) { o->descriptors[OPT_MODE].constraint.string_list = nullptr; }, "Gray", 0},
        {"string_list_wrong_type", OPT_MODE, [](DeviceOptions* o) { o->descriptors[OPT_MODE].type = SANE_TYPE_INT; },
         "Gray", 0},
        {"string_list_empty", OPT_MODE,
         [](DeviceOptions* o) {
             static const SANE_String_Const empty[] = {nullptr};
             o->descriptors[OPT_MODE].constraint.string_list = empty;
         },
         "Gray", 0},
    };
}

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, LeavesSlotAndBufferUnchanged) {
    const RefusalCase& c = GetParam();
    Table table(capability_600({SCANNER_UNIT_ADF}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    c.prepare(table.get());
    OptionSlot slots_before[NUM_OPTIONS];
    std::memcpy(slots_before, table->slots, sizeof slots_before);

    char buffer[32] = {};
    if (c.text != nullptr) {
        std::strncpy(buffer, c.text, sizeof buffer - 1);
    } else {
        std::memcpy(buffer, &c.word, sizeof c.word);
    }
    char buffer_before[sizeof buffer];
    std::memcpy(buffer_before, buffer, sizeof buffer);

    SANE_Int info = 0;
    EXPECT_EQ(set_option_value(table.get(), c.option, buffer, &info), SANE_STATUS_INVAL);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(std::memcmp(buffer, buffer_before, sizeof buffer), 0);
    for (int i = 0; i < NUM_OPTIONS; ++i) {
        EXPECT_EQ(table->slots[i].word, slots_before[i].word) << "option " << i;
        EXPECT_EQ(table->slots[i].string, slots_before[i].string) << "option " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusal, ::testing::ValuesIn(refusal_cases()),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.label; });

TEST(OptionArguments, NullBufferAndIndexOutOfRange) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    SANE_Word word = 100;
    SANE_Int info = 0;
    EXPECT_EQ(get_option_value(table.get(), OPT_RESOLUTION, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(set_option_value(table.get(), OPT_RESOLUTION, nullptr, &info), SANE_STATUS_INVAL);
    for (SANE_Int index : {10, -1, 1000}) {
        EXPECT_EQ(get_option_value(table.get(), index, &word), SANE_STATUS_INVAL) << index;
        EXPECT_EQ(set_option_value(table.get(), index, &word, &info), SANE_STATUS_INVAL) << index;
    }
    EXPECT_EQ(info, 0);
    EXPECT_EQ(word, 100);
}

TEST(OptionGet, GroupOptionHasNoValue) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    SANE_Word word = 0;
    EXPECT_EQ(get_option_value(table.get(), OPT_GEOMETRY_GROUP, &word), SANE_STATUS_INVAL);
}

TEST(OptionGet, StringFillsTheDescriptorSizeWithNul) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    char buffer[40];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(get_option_value(table.get(), OPT_SOURCE, buffer), SANE_STATUS_GOOD);
    EXPECT_STREQ(buffer, "Flatbed");
    const SANE_Int size = table->descriptors[OPT_SOURCE].size;
    ASSERT_EQ(size, 26);
    for (SANE_Int i = 7; i < size; ++i) {
        EXPECT_EQ(buffer[i], '\0') << i;
    }
    EXPECT_EQ(buffer[size], 'x');  // nothing beyond the size
}

// ------------------------------------------------------------ control_device_option

class ControlOption : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(table_.status(), SANE_STATUS_GOOD);
        device_.options = table_.get();
    }
    void TearDown() override { device_.options = nullptr; }

    Table table_{capability_600()};
    device_t device_;
};

TEST_F(ControlOption, NullHandle) {
    SANE_Word word = 100;
    EXPECT_EQ(control_device_option(nullptr, OPT_RESOLUTION, SANE_ACTION_GET_VALUE, &word, nullptr),
              SANE_STATUS_INVAL);
}

TEST_F(ControlOption, SetWritesTheInfoWord) {
    SANE_Word word = 180;
    SANE_Int info = 99;
    EXPECT_EQ(control_device_option(&device_, OPT_RESOLUTION, SANE_ACTION_SET_VALUE, &word, &info),
              SANE_STATUS_GOOD);
    EXPECT_EQ(info, INEXACT | RELOAD_PARAMS);
    EXPECT_EQ(word, 175);
}

TEST_F(ControlOption, FailedSetWritesZeroInfo) {
    char mode[] = "Lineart";
    SANE_Int info = 99;
    EXPECT_EQ(control_device_option(&device_, OPT_MODE, SANE_ACTION_SET_VALUE, mode, &info), SANE_STATUS_INVAL);
    EXPECT_EQ(info, 0);
}

TEST_F(ControlOption, SetWithoutInfoPointerTakesEffect) {
    SANE_Word word = 250;
    EXPECT_EQ(control_device_option(&device_, OPT_RESOLUTION, SANE_ACTION_SET_VALUE, &word, nullptr),
              SANE_STATUS_GOOD);
    EXPECT_EQ(word, 200);
    EXPECT_EQ(table_->slots[OPT_RESOLUTION].word, 200);

    char source[] = "flatbed";
    table_->slots[OPT_TL_X].word = mm(5);
    EXPECT_EQ(control_device_option(&device_, OPT_SOURCE, SANE_ACTION_SET_VALUE, source, nullptr),
              SANE_STATUS_GOOD);
    EXPECT_STREQ(source, "Flatbed");
    EXPECT_EQ(table_->slots[OPT_TL_X].word, 0);  // the follow-up ran too
}

TEST_F(ControlOption, GetLeavesTheInfoWord) {
    SANE_Word word = 0;
    SANE_Int info = 99;
    EXPECT_EQ(control_device_option(&device_, OPT_NUM_OPTIONS, SANE_ACTION_GET_VALUE, &word, &info),
              SANE_STATUS_GOOD);
    EXPECT_EQ(word, 10);
    EXPECT_EQ(info, 99);
    EXPECT_EQ(control_device_option(&device_, OPT_GEOMETRY_GROUP, SANE_ACTION_GET_VALUE, &word, &info),
              SANE_STATUS_INVAL);
    EXPECT_EQ(info, 99);
}

TEST_F(ControlOption, SetAutoIsUnsupported) {
    SANE_Word word = 180;
    SANE_Int info = 99;
    for (SANE_Int option = 0; option < NUM_OPTIONS; ++option) {
        EXPECT_EQ(control_device_option(&device_, option, SANE_ACTION_SET_AUTO, &word, &info),
                  SANE_STATUS_UNSUPPORTED)
            << option;
    }
    EXPECT_EQ(info, 99);
    EXPECT_EQ(word, 180);
    EXPECT_EQ(table_->slots[OPT_RESOLUTION].word, 75);
}

TEST_F(ControlOption, UnknownActionDoesNothing) {
    SANE_Word word = 180;
    SANE_Int info = 99;
    EXPECT_EQ(control_device_option(&device_, OPT_RESOLUTION, static_cast<SANE_Action>(3), &word, &info),
              SANE_STATUS_GOOD);
    EXPECT_EQ(info, 99);
    EXPECT_EQ(word, 180);
    EXPECT_EQ(table_->slots[OPT_RESOLUTION].word, 75);
}

}  // namespace
