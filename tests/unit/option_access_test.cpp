// Reading and setting options: constraints, adjustments, info bits, the
// source follow-up and the minimum scan size.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "backend/backend.h"
#include "options/options.h"
#include "tests/unit/option_test_support.h"

namespace {

using option_test::capability_600;
using option_test::get_word;
using option_test::mm;
using option_test::set_string;
using option_test::set_word;
using option_test::Table;

constexpr SANE_Int INEXACT = SANE_INFO_INEXACT;
constexpr SANE_Int RELOAD_OPTIONS = SANE_INFO_RELOAD_OPTIONS;
constexpr SANE_Int RELOAD_PARAMS = SANE_INFO_RELOAD_PARAMS;

// ------------------------------------------------------------ word lists and ranges

TEST(OptionSet, WordsTakeTheNearestListWordOrAreClampedIntoTheRange) {
    const struct {
        SANE_Int option;
        SANE_Word requested, stored;
        SANE_Int info;
    } cases[] = {
        {OPT_RESOLUTION, 180, 175, INEXACT | RELOAD_PARAMS},
        {OPT_RESOLUTION, 250, 200, INEXACT | RELOAD_PARAMS},  // a tie: the earlier word wins
        {OPT_RESOLUTION, 75, 75, RELOAD_PARAMS},
        {OPT_RESOLUTION, 112, 100, INEXACT | RELOAD_PARAMS},
        {OPT_RESOLUTION, 113, 125, INEXACT | RELOAD_PARAMS},
        {OPT_RESOLUTION, 0, 75, INEXACT | RELOAD_PARAMS},
        {OPT_RESOLUTION, 1200, 300, INEXACT | RELOAD_PARAMS},  // nothing is read past the list's end
        {OPT_TL_X, -327680, 0, INEXACT | RELOAD_PARAMS},       // -5 mm
        {OPT_TL_X, 13971664, 13971663, INEXACT | RELOAD_PARAMS},
        {OPT_BR_X, 14149222, 14149222, RELOAD_PARAMS},  // the max itself is no adjustment
        {OPT_BR_Y, 0, 177558, INEXACT | RELOAD_PARAMS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "option " << c.option << " set to " << c.requested);
        Table table(capability_600());
        const auto result = set_word(table.get(), c.option, c.requested);
        EXPECT_EQ(result.status, SANE_STATUS_GOOD);
        EXPECT_EQ(result.info, c.info);
        EXPECT_EQ(result.buffer, c.stored);  // rewritten only when adjusted
        EXPECT_EQ(get_word(table.get(), c.option), c.stored);
    }
}

// ------------------------------------------------------------ string lists

TEST(OptionSet, StringMatchesIgnoringCaseAndStoresTheListEntry) {
    const SANE_Int source_changed = RELOAD_OPTIONS | RELOAD_PARAMS;
    const struct {
        SANE_Int option;
        const char* requested;
        SANE_Status status;
        const char* stored;  // the list's own entry, never a copy
        const char* buffer;
        SANE_Int info;
    } cases[] = {
        {OPT_MODE, "gray", SANE_STATUS_GOOD, MODE_LIST[0], "Gray", INEXACT | RELOAD_PARAMS},
        {OPT_MODE, "Gray", SANE_STATUS_GOOD, MODE_LIST[0], "Gray", RELOAD_PARAMS},
        {OPT_MODE, "Lineart", SANE_STATUS_INVAL, MODE_LIST[1], "Lineart", 0},
        {OPT_MODE, "Gra", SANE_STATUS_INVAL, MODE_LIST[1], "Gra", 0},  // a prefix is no match
        {OPT_SOURCE, "flatbed", SANE_STATUS_GOOD, SOURCE_FLATBED, "Flatbed", INEXACT | source_changed},
        {OPT_SOURCE, "ADF Duplex", SANE_STATUS_INVAL, SOURCE_FLATBED, "ADF Duplex", 0},  // not this device's
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        Table table(capability_600({SCANNER_UNIT_ADF}));
        const auto result = set_string(table.get(), c.option, c.requested);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.info, c.info);
        EXPECT_EQ(result.buffer, c.buffer);
        EXPECT_EQ(table->slots[c.option].string, c.stored);
    }
}

TEST(OptionSet, SameSourceAgainStillResetsTheArea) {
    Table table(capability_600());
    for (SANE_Int option : {OPT_TL_X, OPT_TL_Y, OPT_BR_X, OPT_BR_Y}) {
        ASSERT_EQ(set_word(table.get(), option, mm(option * 10)).status, SANE_STATUS_GOOD);
    }
    const auto result = set_string(table.get(), OPT_SOURCE, "Flatbed");
    EXPECT_EQ(result.status, SANE_STATUS_GOOD);
    EXPECT_EQ(result.info, RELOAD_OPTIONS | RELOAD_PARAMS);
    EXPECT_EQ(get_word(table.get(), OPT_TL_X), 0);
    EXPECT_EQ(get_word(table.get(), OPT_TL_Y), 0);
    EXPECT_EQ(get_word(table.get(), OPT_BR_X), 14149222);
    EXPECT_EQ(get_word(table.get(), OPT_BR_Y), 19459342);
}

TEST(OptionSet, FeederSourceActivatesCentringAndTakesTheFeederSizes) {
    const struct {
        ScannerUnit unit;
        const char* source;
        const char* shared;
    } cases[] = {{SCANNER_UNIT_ADF, "Automatic Document Feeder", SOURCE_ADF},
                 {SCANNER_UNIT_ADF_DUPLEX, "ADF Duplex", SOURCE_ADF_DUPLEX}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        Table table(capability_600({c.unit}));
        const auto to_feeder = set_string(table.get(), OPT_SOURCE, c.source);
        ASSERT_EQ(to_feeder.status, SANE_STATUS_GOOD);
        EXPECT_EQ(to_feeder.info, RELOAD_OPTIONS | RELOAD_PARAMS);
        EXPECT_EQ(table->slots[OPT_SOURCE].string, c.shared);  // the shared string itself
        EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT);
        EXPECT_EQ(get_word(table.get(), OPT_CENTER_SCAN), SANE_TRUE);
        // The feeder is 8400 pixels high, the flatbed 7014.
        EXPECT_EQ(table->ranges[1].max, 23127042);
        EXPECT_EQ(table->ranges[3].min, 177558);
        EXPECT_EQ(table->ranges[3].max, 23304601);
        EXPECT_EQ(get_word(table.get(), OPT_BR_Y), 23304601);

        const auto back = set_string(table.get(), OPT_SOURCE, "Flatbed");
        ASSERT_EQ(back.status, SANE_STATUS_GOOD);
        EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);
        EXPECT_EQ(get_word(table.get(), OPT_CENTER_SCAN), SANE_FALSE);
        EXPECT_EQ(get_word(table.get(), OPT_BR_Y), 19459342);
    }
}

TEST(OptionSet, CenterScanStoresAnyWordWithoutFollowUp) {
    Table table(capability_600());
    for (SANE_Word value : {SANE_TRUE, 7}) {
        const auto result = set_word(table.get(), OPT_CENTER_SCAN, value);
        EXPECT_EQ(result.status, SANE_STATUS_GOOD);
        EXPECT_EQ(result.info, 0);
        EXPECT_EQ(get_word(table.get(), OPT_CENTER_SCAN), value);
    }
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);  // still inactive
}

// ------------------------------------------------------------ minimum size

struct MinimumCase {
    const char* label;
    DeviceCapability capability;
    std::vector<std::pair<SANE_Int, SANE_Word>> before;  // sets done first, each must succeed
    SANE_Int option;
    SANE_Word requested;
    SANE_Int info;
    SANE_Int moved;         // the bottom-right option that may move
    SANE_Word moved_value;  // its value afterwards
};

std::vector<MinimumCase> minimum_cases() {
    const SANE_Int changed = INEXACT | RELOAD_PARAMS;
    DeviceCapability min_height_128 = capability_600();
    min_height_128.flatbed_min_height = 128;
    DeviceCapability base_zero = capability_600();
    base_zero.basic_resolution = 0;
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
        // The vertical rule uses the minimum height: 2362 + 128.
        {"br_y_uses_min_height", min_height_128, {{OPT_TL_Y, mm(100)}}, OPT_BR_Y, mm(101), changed, OPT_BR_Y,
         6908149},
        // The horizontal rule does not touch the vertical corner.
        {"x_leaves_y_alone", capability_600(), {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(101), changed, OPT_BR_Y,
         19459342},
        // t 47, b 30: d -17, so br-x goes to pixel -17, left of 0.
        {"negative_pixel", capability_600(), {{OPT_TL_X, mm(4)}, {OPT_BR_X, 229376}}, OPT_TL_X, mm(2), changed,
         OPT_BR_X, -47164},
        // Without a base resolution everything is 0 pixels: br-x is set to 0.
        {"base_resolution_zero", base_zero, {}, OPT_TL_X, 0, changed, OPT_BR_X, 0},
    };
}

TEST(MinimumSize, MovesOnlyTheBottomRightCorner) {
    for (const MinimumCase& c : minimum_cases()) {
        SCOPED_TRACE(c.label);
        Table table(c.capability);
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
}

TEST(MinimumSize, FeederUsesItsOwnMinimum) {
    DeviceCapability cap = capability_600({SCANNER_UNIT_ADF});
    cap.adf_min_Width = 100;
    Table table(cap);
    ASSERT_EQ(set_string(table.get(), OPT_SOURCE, "Automatic Document Feeder").status, SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(table.get(), OPT_TL_X, mm(100)).status, SANE_STATUS_GOOD);
    EXPECT_EQ(set_word(table.get(), OPT_BR_X, mm(101)).info, INEXACT | RELOAD_PARAMS);
    EXPECT_EQ(get_word(table.get(), OPT_BR_X), pixels_to_fixed_mm(2362 + 100, 600));
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
    const auto retype = [](SANE_Int option, SANE_Value_Type type) {
        return [option, type](DeviceOptions* o) { o->descriptors[option].type = type; };
    };
    const auto no_constraint = [](SANE_Int option) {
        return [option](DeviceOptions* o) { o->descriptors[option].constraint.string_list = nullptr; };
    };
    static const SANE_String_Const empty_list[] = {nullptr};
    return {
        {"count option", OPT_NUM_OPTIONS, nothing, nullptr, 11},
        {"group option", OPT_GEOMETRY_GROUP, nothing, nullptr, 1},
        {"range, not adjustable", OPT_TL_X, not_adjustable(OPT_TL_X), nullptr, -327680},
        {"word list, not adjustable", OPT_RESOLUTION, not_adjustable(OPT_RESOLUTION), nullptr, 180},
        {"string case, not adjustable", OPT_MODE, not_adjustable(OPT_MODE), "gray", 0},
        {"range missing", OPT_BR_X, no_constraint(OPT_BR_X), nullptr, mm(10)},
        {"range, wrong type", OPT_BR_X, retype(OPT_BR_X, SANE_TYPE_BOOL), nullptr, mm(10)},
        {"word list missing", OPT_RESOLUTION, no_constraint(OPT_RESOLUTION), nullptr, 100},
        {"word list, wrong type", OPT_RESOLUTION, retype(OPT_RESOLUTION, SANE_TYPE_STRING), nullptr, 100},
        {"string list missing", OPT_MODE, no_constraint(OPT_MODE), "Gray", 0},
        {"string list, wrong type", OPT_MODE, retype(OPT_MODE, SANE_TYPE_INT), "Gray", 0},
        {"string list empty", OPT_MODE,
         [](DeviceOptions* o) { o->descriptors[OPT_MODE].constraint.string_list = empty_list; }, "Gray", 0},
    };
}

TEST(OptionSet, RefusalLeavesSlotsAndBufferUnchanged) {
    for (const RefusalCase& c : refusal_cases()) {
        SCOPED_TRACE(c.label);
        Table table(capability_600({SCANNER_UNIT_ADF}));
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
}

TEST(OptionArguments, NullBufferAndIndexOutOfRange) {
    Table table(capability_600());
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

TEST(OptionGet, StringFillsTheDescriptorSizeWithNul) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
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

TEST(ControlOption, SetStoresTheInfoWordWhateverTheStatusAndNeedsNoInfoPointer) {
    Table table(capability_600());
    device_t device;
    device.options = table.get();
    SANE_Word word = 180;
    SANE_Int info = 99;
    EXPECT_EQ(control_device_option(&device, OPT_RESOLUTION, SANE_ACTION_SET_VALUE, &word, &info), SANE_STATUS_GOOD);
    EXPECT_EQ(info, INEXACT | RELOAD_PARAMS);
    EXPECT_EQ(word, 175);

    char mode[] = "Lineart";
    info = 99;
    EXPECT_EQ(control_device_option(&device, OPT_MODE, SANE_ACTION_SET_VALUE, mode, &info), SANE_STATUS_INVAL);
    EXPECT_EQ(info, 0);

    char source[] = "flatbed";
    table->slots[OPT_TL_X].word = mm(5);
    EXPECT_EQ(control_device_option(&device, OPT_SOURCE, SANE_ACTION_SET_VALUE, source, nullptr), SANE_STATUS_GOOD);
    EXPECT_STREQ(source, "Flatbed");
    EXPECT_EQ(table->slots[OPT_TL_X].word, 0);  // the follow-up ran too
    device.options = nullptr;
}

TEST(ControlOption, OtherActionsLeaveTheInfoWord) {
    Table table(capability_600());
    device_t device;
    device.options = table.get();
    SANE_Word word = 0;
    SANE_Int info = 99;
    EXPECT_EQ(control_device_option(nullptr, OPT_RESOLUTION, SANE_ACTION_GET_VALUE, &word, &info),
              SANE_STATUS_INVAL);
    EXPECT_EQ(control_device_option(&device, OPT_NUM_OPTIONS, SANE_ACTION_GET_VALUE, &word, &info),
              SANE_STATUS_GOOD);
    EXPECT_EQ(word, 10);
    EXPECT_EQ(control_device_option(&device, OPT_GEOMETRY_GROUP, SANE_ACTION_GET_VALUE, &word, &info),
              SANE_STATUS_INVAL);  // the group has no value

    word = 180;
    for (SANE_Int option = 0; option < NUM_OPTIONS; ++option) {
        EXPECT_EQ(control_device_option(&device, option, SANE_ACTION_SET_AUTO, &word, &info),
                  SANE_STATUS_UNSUPPORTED)
            << option;
    }
    // An unknown action does nothing at all.
    EXPECT_EQ(control_device_option(&device, OPT_RESOLUTION, static_cast<SANE_Action>(3), &word, &info),
              SANE_STATUS_GOOD);
    EXPECT_EQ(info, 99);
    EXPECT_EQ(word, 180);
    EXPECT_EQ(table->slots[OPT_RESOLUTION].word, 75);
    device.options = nullptr;
}

}  // namespace
