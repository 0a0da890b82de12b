// The option table of a handle, built straight from a capability: what
// creation leaves, how each set is constrained, adjusted and reported in the
// info bits, the follow-ups of the source (area, set-center-scan) and of the
// minimum scan size, the scan parameters made from the options, and the unit
// conversions underneath.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "backend/backend.h"
#include "options/option_table_internal.h"
#include "options/options.h"
#include "options/units_internal.h"

namespace {

constexpr SANE_Int INEXACT = SANE_INFO_INEXACT;
constexpr SANE_Int PARAMS = SANE_INFO_RELOAD_PARAMS;
constexpr SANE_Int OPTIONS = SANE_INFO_RELOAD_OPTIONS;
constexpr SANE_Word mm(int millimetres) { return millimetres * 65536; }
constexpr SANE_Word kFlatbedBrX = 14149222, kFlatbedBrY = 19459342, kFeederBrY = 23304601;

// Base resolution 600; flatbed 64..5100 x 64..7014; feeders 64..5100 x 64..8400.
DeviceCapability capability_600(std::vector<ScannerUnit> units = {}) {
    DeviceCapability cap;
    cap.basic_resolution = 600;
    cap.flatbed_min_width = cap.flatbed_min_height = cap.adf_min_Width = cap.adf_min_height = 64;
    cap.flatbed_max_width = cap.adf_max_Width = 5100;
    cap.flatbed_max_height = 7014;
    cap.adf_max_height = 8400;
    cap.scanner_units = std::move(units);
    return cap;
}

DeviceCapability with(DeviceCapability cap, uint32_t DeviceCapability::*field, uint32_t value) {
    cap.*field = value;
    return cap;
}

struct Table {
    explicit Table(const DeviceCapability& cap) { EXPECT_EQ(create_device_options(cap, &options), SANE_STATUS_GOOD); }
    ~Table() { EXPECT_EQ(free_device_options(&options), 0); }
    DeviceOptions* operator->() const { return options; }
    DeviceOptions* options = nullptr;
};

// A set from a copy of the value; the buffer shows any rewrite.
struct Set {
    SANE_Status status;
    SANE_Int info;
    SANE_Word word;
    std::string text;
};

Set set_word(DeviceOptions* options, SANE_Int option, SANE_Word value) {
    Set result{SANE_STATUS_GOOD, 0, value, {}};
    result.status = set_option_value(options, option, &result.word, &result.info);
    return result;
}

Set set_string(DeviceOptions* options, SANE_Int option, const char* text) {
    char buffer[64] = {};
    std::strncpy(buffer, text, sizeof buffer - 1);
    Set result{SANE_STATUS_GOOD, 0, 0, {}};
    result.status = set_option_value(options, option, buffer, &result.info);
    result.text = buffer;
    return result;
}

SANE_Word get_word(DeviceOptions* options, SANE_Int option) {
    SANE_Word word = -12345;
    EXPECT_EQ(get_option_value(options, option, &word), SANE_STATUS_GOOD);
    return word;
}

// Sets strings, then words, each of which must be accepted.
void setup(DeviceOptions* options, std::initializer_list<std::pair<SANE_Int, const char*>> strings,
           std::initializer_list<std::pair<SANE_Int, SANE_Word>> words = {}) {
    for (const auto& [option, text] : strings) EXPECT_EQ(set_string(options, option, text).status, SANE_STATUS_GOOD);
    for (const auto& [option, word] : words) EXPECT_EQ(set_word(options, option, word).status, SANE_STATUS_GOOD);
}

std::vector<const char*> entries(const char** list) {
    std::vector<const char*> got;
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) got.push_back(list[i]);
    return got;
}

// ------------------------------------------------------------ the table after creation

TEST(OptionTable, DescriptorsPointAtTheTablesOwnDataAndValuesStartOnTheWholeFlatbed) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    const char* names[] = {"", "source", "mode", "resolution", "geometry", "tl-x", "tl-y", "br-x", "br-y",
                           "set-center-scan"};
    const SANE_Int sizes[] = {4, 26, 6, 4, 0, 4, 4, 4, 4, 4};  // strings: their list's longest entry
    for (SANE_Int i = 0; i < NUM_OPTIONS; ++i) {
        ASSERT_EQ(get_option_descriptor(table.options, i), &table->descriptors[i]);
        EXPECT_STREQ(table->descriptors[i].name, names[i]);
        EXPECT_EQ(table->descriptors[i].size, sizes[i]) << names[i];
    }
    for (SANE_Int index : {10, -1, INT_MIN}) EXPECT_EQ(get_option_descriptor(table.options, index), nullptr);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].constraint.string_list, table->source_list);
    EXPECT_EQ(table->descriptors[OPT_MODE].constraint.string_list, MODE_LIST);
    EXPECT_EQ(table->descriptors[OPT_RESOLUTION].constraint.word_list, RESOLUTION_LIST);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(table->descriptors[OPT_TL_X + i].constraint.range, &table->ranges[i]);

    EXPECT_EQ(get_word(table.options, OPT_NUM_OPTIONS), 10);
    EXPECT_EQ(get_word(table.options, OPT_RESOLUTION), 75);
    EXPECT_EQ(table->slots[OPT_MODE].string, MODE_LIST[1]);
    EXPECT_EQ(table->slots[OPT_SOURCE].string, SOURCE_FLATBED);
    // Inactive and false while the source is the flatbed, even with a feeder.
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);
    EXPECT_EQ(get_word(table.options, OPT_CENTER_SCAN), SANE_FALSE);
}

TEST(OptionTable, RangesAreTheFirstSourcesSizesAtTheBaseResolution) {
    const struct {
        const char* label;
        DeviceCapability capability;
        SANE_Range ranges[4];
    } cases[] = {
        // The feeder's width differs, but the flatbed comes first.
        {"flatbed", with(capability_600({SCANNER_UNIT_ADF}), &DeviceCapability::adf_max_Width, 4000),
         {{0, 13971663, 0}, {0, 19281783, 0}, {177558, kFlatbedBrX, 0}, {177558, kFlatbedBrY, 0}}},
        {"base resolution 0", with(capability_600(), &DeviceCapability::basic_resolution, 0), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Table table(c.capability);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(table->ranges[i].min, c.ranges[i].min) << i;
            EXPECT_EQ(table->ranges[i].max, c.ranges[i].max) << i;
            EXPECT_EQ(table->ranges[i].quant, 0) << i;
        }
        const SANE_Word area[] = {0, 0, c.ranges[2].max, c.ranges[3].max};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(table->slots[OPT_TL_X + i].word, area[i]) << i;
    }
}

TEST(OptionTable, SourceListFollowsTheCapabilityUnits) {
    const auto F = SCANNER_UNIT_FLATBED, A = SCANNER_UNIT_ADF, D = SCANNER_UNIT_ADF_DUPLEX;
    const struct {
        std::vector<ScannerUnit> units;
        std::vector<const char*> sources;  // the shared strings themselves, not copies
        SANE_Int size;
    } cases[] = {
        {{}, {SOURCE_FLATBED}, 8},
        {{F}, {SOURCE_FLATBED}, 8},
        {{D, A, F}, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX, SOURCE_ADF}, 26},
        {{A, A, F, F}, {SOURCE_FLATBED, SOURCE_ADF, SOURCE_ADF}, 26},
        {{static_cast<ScannerUnit>(7), D}, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX}, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sources.size());
        Table table(capability_600(c.units));
        EXPECT_EQ(entries(table->source_list), c.sources);
        EXPECT_EQ(table->descriptors[OPT_SOURCE].size, c.size);
    }
}

// An append that fails on the calls whose bit is set, and succeeds otherwise.
uint32_t g_calls = 0, g_failing = 0;
uint32_t flaky_append(const char* string, const char** list, uint32_t count, const char*** out) {
    return (g_failing >> g_calls++) & 1u ? count : append_string(string, list, count, out);
}

TEST(OptionTable, FailedAppendsLeaveOutOnlyTheirEntries) {
    const struct {
        uint32_t failing;
        std::vector<const char*> sources;
    } cases[] = {
        {0b0010, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX, SOURCE_ADF}},
        {0b0001, {SOURCE_ADF, SOURCE_ADF_DUPLEX, SOURCE_ADF}},
        {0b1111, {}},
    };
    for (const auto& c : cases) {
        g_calls = 0;
        g_failing = c.failing;
        const char** list = build_source_list(capability_600({SCANNER_UNIT_ADF, SCANNER_UNIT_ADF_DUPLEX, SCANNER_UNIT_ADF}),
                                              flaky_append);
        EXPECT_EQ(g_calls, 4u);
        EXPECT_EQ(entries(list), c.sources) << c.failing;
        EXPECT_EQ(list == nullptr, c.sources.empty());
        std::free(static_cast<void*>(list));
    }
    EXPECT_EQ(append_string("x", nullptr, 3, nullptr), 3u) << "without an output address nothing changes";
}

// No source could be stored: the source option has size 0, no list and no
// value, and the rest of the table works with the flatbed's geometry.
TEST(OptionTable, EmptySourceListLeavesASourceOptionWithoutValue) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    std::free(static_cast<void*>(table->source_list));
    attach_source_list(table.options, nullptr);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].size, 0);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].constraint.string_list, nullptr);
    EXPECT_EQ(table->slots[OPT_SOURCE].string, nullptr);

    char buffer[8] = "keep";
    EXPECT_EQ(get_option_value(table.options, OPT_SOURCE, buffer), SANE_STATUS_GOOD);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(set_string(table.options, OPT_SOURCE, "Flatbed").status, SANE_STATUS_INVAL);
    apply_source_geometry(table.options);
    EXPECT_EQ(table->ranges[2].max, kFlatbedBrX);
    ScanParameter parameter{};
    EXPECT_EQ(make_scan_parameter(table.options, &parameter), SANE_STATUS_GOOD);
    EXPECT_EQ(parameter.original_placement, 0u);
    EXPECT_EQ(parameter.input_width, 5100u);
}

// ------------------------------------------------------------ sets and their info bits

TEST(OptionSet, WordsTakeTheNearestListWordOrAreClampedIntoTheRange) {
    const struct {
        SANE_Int option;
        SANE_Word requested, stored;
        SANE_Int info;
    } cases[] = {
        {OPT_RESOLUTION, 180, 175, INEXACT | PARAMS},
        {OPT_RESOLUTION, 250, 200, INEXACT | PARAMS},  // a tie: the earlier word wins
        {OPT_RESOLUTION, 75, 75, PARAMS},
        {OPT_RESOLUTION, 112, 100, INEXACT | PARAMS},
        {OPT_RESOLUTION, 113, 125, INEXACT | PARAMS},
        {OPT_RESOLUTION, 0, 75, INEXACT | PARAMS},
        {OPT_RESOLUTION, 1200, 300, INEXACT | PARAMS},  // nothing is read past the list's end
        {OPT_TL_X, -327680, 0, INEXACT | PARAMS},
        {OPT_TL_X, 13971664, 13971663, INEXACT | PARAMS},
        {OPT_BR_X, kFlatbedBrX, kFlatbedBrX, PARAMS},  // the max itself is no adjustment
        {OPT_BR_Y, 0, 177558, INEXACT | PARAMS},
        // Any word is stored, with no follow-up, and it stays inactive.
        {OPT_CENTER_SCAN, 7, 7, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "option " << c.option << " set to " << c.requested);
        Table table(capability_600());
        const Set result = set_word(table.options, c.option, c.requested);
        EXPECT_EQ(result.status, SANE_STATUS_GOOD);
        EXPECT_EQ(result.info, c.info);
        EXPECT_EQ(result.word, c.stored);  // rewritten only when adjusted
        EXPECT_EQ(get_word(table.options, c.option), c.stored);
        EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);
    }
}

TEST(OptionSet, StringMatchesIgnoringCaseAndStoresTheListsOwnEntry) {
    const struct {
        SANE_Int option;
        const char* requested;
        SANE_Status status;
        const char* stored;
        const char* buffer;
        SANE_Int info;
    } cases[] = {
        {OPT_MODE, "gray", SANE_STATUS_GOOD, MODE_LIST[0], "Gray", INEXACT | PARAMS},
        {OPT_MODE, "Gray", SANE_STATUS_GOOD, MODE_LIST[0], "Gray", PARAMS},
        {OPT_MODE, "Lineart", SANE_STATUS_INVAL, MODE_LIST[1], "Lineart", 0},
        {OPT_MODE, "Gra", SANE_STATUS_INVAL, MODE_LIST[1], "Gra", 0},  // a prefix is no match
        {OPT_SOURCE, "flatbed", SANE_STATUS_GOOD, SOURCE_FLATBED, "Flatbed", INEXACT | OPTIONS | PARAMS},
        {OPT_SOURCE, "ADF Duplex", SANE_STATUS_INVAL, SOURCE_FLATBED, "ADF Duplex", 0},  // not this device's
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        Table table(capability_600({SCANNER_UNIT_ADF}));
        const Set result = set_string(table.options, c.option, c.requested);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.info, c.info);
        EXPECT_EQ(result.text, c.buffer);
        EXPECT_EQ(table->slots[c.option].string, c.stored);
    }
}

// Every source set, the same source again too, starts from the source's
// whole area; set-center-scan is active and true only with a feeder.
TEST(OptionSet, SourceFollowUpResetsTheAreaAndCentresOnlyInAFeeder) {
    const struct {
        const char* source;
        const char* stored;
        SANE_Int cap;
        SANE_Word center, tl_y_max, br_y;
    } cases[] = {
        {"Flatbed", SOURCE_FLATBED, SANE_CAP_INACTIVE, SANE_FALSE, 19281783, kFlatbedBrY},
        {"Automatic Document Feeder", SOURCE_ADF, SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT, SANE_TRUE, 23127042,
         kFeederBrY},
        {"Flatbed", SOURCE_FLATBED, SANE_CAP_INACTIVE, SANE_FALSE, 19281783, kFlatbedBrY},
        {"ADF Duplex", SOURCE_ADF_DUPLEX, SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT, SANE_TRUE, 23127042,
         kFeederBrY},
        {"Flatbed", SOURCE_FLATBED, SANE_CAP_INACTIVE, SANE_FALSE, 19281783, kFlatbedBrY},
    };
    Table table(capability_600({SCANNER_UNIT_ADF, SCANNER_UNIT_ADF_DUPLEX}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        setup(table.options, {}, {{OPT_TL_X, mm(5)}, {OPT_TL_Y, mm(6)}, {OPT_BR_X, mm(70)}, {OPT_BR_Y, mm(80)}});
        const Set result = set_string(table.options, OPT_SOURCE, c.source);
        EXPECT_EQ(result.status, SANE_STATUS_GOOD);
        EXPECT_EQ(result.info, OPTIONS | PARAMS);
        EXPECT_EQ(table->slots[OPT_SOURCE].string, c.stored);
        EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, c.cap);
        EXPECT_EQ(get_word(table.options, OPT_CENTER_SCAN), c.center);
        EXPECT_EQ(table->ranges[1].max, c.tl_y_max);
        EXPECT_EQ(table->ranges[3].max, c.br_y);
        const SANE_Word area[] = {0, 0, kFlatbedBrX, c.br_y};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(get_word(table.options, OPT_TL_X + i), area[i]) << i;
    }
}

// Each set of a corner keeps the area at least the minimum size wide (high)
// by moving the bottom-right corner; the caller's buffer is not rewritten.
TEST(OptionSet, MinimumSizeMovesOnlyTheBottomRightCorner) {
    const SANE_Int moved = INEXACT | PARAMS;
    const DeviceCapability cap = capability_600({SCANNER_UNIT_ADF});
    const struct {
        const char* label;
        DeviceCapability capability;
        const char* source;
        std::vector<std::pair<SANE_Int, SANE_Word>> before;
        SANE_Int option;
        SANE_Word requested;
        SANE_Int info;
        SANE_Int corner;
        SANE_Word corner_value;
    } cases[] = {
        // Pixels at 600 dpi: t 2362, b 2386, d 24 < 64: br-x to 2426.
        {"right of tl-x", cap, "Flatbed", {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(101), moved, OPT_BR_X, 6730590},
        // b 2339, d -23: br-x to 2298, left of tl-x.
        {"left of tl-x", cap, "Flatbed", {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(99), moved, OPT_BR_X, 6375473},
        {"on tl-x, d 0 is not negative", cap, "Flatbed", {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(100), moved, OPT_BR_X,
         6730590},
        // Moved below the range's min (177558), and left there.
        {"below the range", cap, "Flatbed", {{OPT_TL_X, mm(4)}}, OPT_BR_X, 229376, moved, OPT_BR_X, 83230},
        // t 2339, b 2362: br-x to 2403, tl-x stays.
        {"tl-x moves br-x", cap, "Flatbed", {{OPT_BR_X, mm(100)}}, OPT_TL_X, mm(99), moved, OPT_BR_X, 6666780},
        {"exactly the minimum", cap, "Flatbed", {}, OPT_TL_X, 13971663, PARAMS, OPT_BR_X, kFlatbedBrX},
        {"height uses the minimum height", with(cap, &DeviceCapability::flatbed_min_height, 128), "Flatbed",
         {{OPT_TL_Y, mm(100)}}, OPT_BR_Y, mm(101), moved, OPT_BR_Y, 6908149},
        {"width leaves br-y alone", cap, "Flatbed", {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(101), moved, OPT_BR_Y,
         kFlatbedBrY},
        // t 47, b 30, d -17: br-x to pixel -17, left of 0.
        {"negative pixel", cap, "Flatbed", {{OPT_TL_X, mm(4)}, {OPT_BR_X, 229376}}, OPT_TL_X, mm(2), moved, OPT_BR_X,
         -47164},
        {"base resolution 0", with(cap, &DeviceCapability::basic_resolution, 0), "Flatbed", {}, OPT_TL_X, 0, moved,
         OPT_BR_X, 0},
        // The feeder's own minimum: 2362 + 100.
        {"feeder", with(cap, &DeviceCapability::adf_min_Width, 100), "Automatic Document Feeder",
         {{OPT_TL_X, mm(100)}}, OPT_BR_X, mm(101), moved, OPT_BR_X, pixels_to_fixed_mm(2462, 600)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Table table(c.capability);
        setup(table.options, {{OPT_SOURCE, c.source}});
        for (const auto& [option, value] : c.before) setup(table.options, {}, {{option, value}});
        const Set result = set_word(table.options, c.option, c.requested);
        EXPECT_EQ(result.status, SANE_STATUS_GOOD);
        EXPECT_EQ(result.info, c.info);
        EXPECT_EQ(result.word, c.requested);
        EXPECT_EQ(get_word(table.options, c.corner), c.corner_value);
        if (c.option == OPT_TL_X) {
            EXPECT_EQ(get_word(table.options, OPT_TL_X), c.requested);
        }
    }
}

// A refused set changes neither the table nor the caller's buffer.
TEST(OptionSet, RefusalLeavesSlotsAndBufferUnchanged) {
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
    const struct {
        const char* label;
        SANE_Int option;
        std::function<void(DeviceOptions*)> prepare;
        const char* text;  // the buffer's string, or
        SANE_Word word;    // its word when text is null
    } cases[] = {
        {"count option", OPT_NUM_OPTIONS, [](DeviceOptions*) {}, nullptr, 11},
        {"group option", OPT_GEOMETRY_GROUP, [](DeviceOptions*) {}, nullptr, 1},
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Table table(capability_600({SCANNER_UNIT_ADF}));
        c.prepare(table.options);
        OptionSlot slots[NUM_OPTIONS];
        std::memcpy(slots, table->slots, sizeof slots);
        char buffer[32] = {}, before[32];
        if (c.text != nullptr) std::strncpy(buffer, c.text, sizeof buffer - 1);
        else std::memcpy(buffer, &c.word, sizeof c.word);
        std::memcpy(before, buffer, sizeof buffer);

        SANE_Int info = 0;
        EXPECT_EQ(set_option_value(table.options, c.option, buffer, &info), SANE_STATUS_INVAL);
        EXPECT_EQ(info, 0);
        EXPECT_EQ(std::memcmp(buffer, before, sizeof buffer), 0);
        for (int i = 0; i < NUM_OPTIONS; ++i) {
            EXPECT_EQ(table->slots[i].word, slots[i].word) << i;
            EXPECT_EQ(table->slots[i].string, slots[i].string) << i;
        }
    }
}

// Through the handle: SET_VALUE always stores its info word (0 on a refusal)
// and needs no info pointer; the other actions leave the info word alone.
TEST(OptionControl, ArgumentsActionsAndTheInfoWord) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    device_t device;
    device.options = table.options;
    SANE_Word word = 180;
    SANE_Int info = 99;
    EXPECT_EQ(control_device_option(&device, OPT_RESOLUTION, SANE_ACTION_SET_VALUE, &word, &info), SANE_STATUS_GOOD);
    EXPECT_EQ(info, INEXACT | PARAMS);
    EXPECT_EQ(word, 175);
    char mode[] = "Lineart";
    EXPECT_EQ(control_device_option(&device, OPT_MODE, SANE_ACTION_SET_VALUE, mode, &info), SANE_STATUS_INVAL);
    EXPECT_EQ(info, 0);
    char source[] = "flatbed";
    table->slots[OPT_TL_X].word = mm(5);
    EXPECT_EQ(control_device_option(&device, OPT_SOURCE, SANE_ACTION_SET_VALUE, source, nullptr), SANE_STATUS_GOOD);
    EXPECT_STREQ(source, "Flatbed");
    EXPECT_EQ(table->slots[OPT_TL_X].word, 0) << "the follow-up ran too";

    info = 99;
    EXPECT_EQ(control_device_option(nullptr, OPT_RESOLUTION, SANE_ACTION_GET_VALUE, &word, &info), SANE_STATUS_INVAL);
    EXPECT_EQ(control_device_option(&device, OPT_GEOMETRY_GROUP, SANE_ACTION_GET_VALUE, &word, &info),
              SANE_STATUS_INVAL);  // the group has no value
    for (SANE_Int option = 0; option < NUM_OPTIONS; ++option)
        EXPECT_EQ(control_device_option(&device, option, SANE_ACTION_SET_AUTO, &word, &info), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(control_device_option(&device, OPT_RESOLUTION, static_cast<SANE_Action>(3), &word, &info),
              SANE_STATUS_GOOD);  // an unknown action does nothing at all
    EXPECT_EQ(info, 99);
    EXPECT_EQ(get_word(table.options, OPT_RESOLUTION), 175);
    for (SANE_Int index : {10, -1}) {
        EXPECT_EQ(get_option_value(table.options, index, &word), SANE_STATUS_INVAL);
        EXPECT_EQ(set_option_value(table.options, index, &word, &info), SANE_STATUS_INVAL);
    }
    EXPECT_EQ(get_option_value(table.options, OPT_RESOLUTION, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(set_option_value(table.options, OPT_RESOLUTION, nullptr, &info), SANE_STATUS_INVAL);

    // A string is read as its descriptor's size: the value, then zero bytes.
    char buffer[40];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(get_option_value(table.options, OPT_SOURCE, buffer), SANE_STATUS_GOOD);
    EXPECT_EQ(std::string(buffer, 27), std::string("Flatbed") + std::string(19, '\0') + "x");
    device.options = nullptr;
}

// ------------------------------------------------------------ scan parameters

TEST(MakeScanParameter, FromTheOptions) {
    static const char adf_copy[] = "Automatic Document Feeder", gray_lower[] = "gray";
    const DeviceCapability duplex = capability_600({SCANNER_UNIT_ADF_DUPLEX});
    const DeviceCapability adf = capability_600({SCANNER_UNIT_ADF});
    const struct {
        const char* label;
        DeviceCapability capability;
        std::function<void(DeviceOptions*)> prepare;
        std::vector<uint32_t> fields;  // in the request's order
    } cases[] = {
        {"whole flatbed, black text support not passed on", with(capability_600(), &DeviceCapability::black_text_support, 1),
         [](DeviceOptions* o) { setup(o, {}, {{OPT_RESOLUTION, 300}}); },
         {0, 0, 2, 600, 0, 0, 5100, 7014, 300, 2550, 3507, 0}},
        // 591 is round(590.5): halves go away from zero.
        {"centred duplex feeder in gray", duplex,
         [](DeviceOptions* o) {
             setup(o, {{OPT_SOURCE, "ADF Duplex"}, {OPT_MODE, "Gray"}}, {{OPT_RESOLUTION, 150}, {OPT_BR_X, mm(100)}});
         },
         {1, 1, 1, 600, 1369, 0, 2362, 8400, 150, 591, 2100, 0}},
        {"output rounds the rounded input size", capability_600(),
         [](DeviceOptions* o) { setup(o, {}, {{OPT_RESOLUTION, 75}, {OPT_BR_X, mm(100)}, {OPT_BR_Y, mm(50)}}); },
         {0, 0, 2, 600, 0, 0, 2362, 1181, 75, 295, 148, 0}},
        // 99 mm is too close to 100: the minimum size puts both corners at 2298 pixels.
        {"corners set in reverse", capability_600(),
         [](DeviceOptions* o) {
             setup(o, {}, {{OPT_RESOLUTION, 300}, {OPT_TL_X, mm(100)}, {OPT_TL_Y, mm(100)}, {OPT_BR_X, mm(99)},
                           {OPT_BR_Y, mm(99)}});
         },
         {0, 0, 2, 600, 2298, 2298, 64, 64, 300, 32, 32, 0}},
        {"corners stored in order", capability_600(),
         [](DeviceOptions* o) {
             o->slots[OPT_RESOLUTION].word = 300;
             o->slots[OPT_TL_X].word = o->slots[OPT_TL_Y].word = 6375473;
             o->slots[OPT_BR_X].word = o->slots[OPT_BR_Y].word = mm(100);
         },
         {0, 0, 2, 600, 2298, 2298, 64, 64, 300, 32, 32, 0}},
        {"flatbed is never centred", adf,
         [](DeviceOptions* o) { setup(o, {}, {{OPT_TL_X, mm(10)}, {OPT_BR_X, mm(110)}, {OPT_CENTER_SCAN, 1}}); },
         {0, 0, 2, 600, 236, 0, 2362, 7014, 75, 295, 877, 0}},
        {"feeder without centring", adf,
         [](DeviceOptions* o) {
             setup(o, {{OPT_SOURCE, "Automatic Document Feeder"}},
                   {{OPT_TL_X, mm(10)}, {OPT_BR_X, mm(110)}, {OPT_CENTER_SCAN, 0}});
         },
         {1, 0, 2, 600, 236, 0, 2362, 8400, 75, 295, 1050, 0}},
        {"feeder centred only by the value 1", adf,
         [](DeviceOptions* o) {
             setup(o, {{OPT_SOURCE, "Automatic Document Feeder"}},
                   {{OPT_TL_X, mm(10)}, {OPT_BR_X, mm(110)}, {OPT_CENTER_SCAN, 2}});
         },
         {1, 0, 2, 600, 236, 0, 2362, 8400, 75, 295, 1050, 0}},
        // (4000 - 2362.2) / 2 pixels from the left edge: the feeder's own width.
        {"centred on a narrower feeder", with(adf, &DeviceCapability::adf_max_Width, 4000),
         [](DeviceOptions* o) { setup(o, {{OPT_SOURCE, "Automatic Document Feeder"}}, {{OPT_BR_X, mm(100)}}); },
         {1, 0, 2, 600, 819, 0, 2362, 8400, 75, 295, 1050, 0}},
        // Source and mode are compared by text, case-sensitively.
        {"a copy of the source, a lower-case mode", adf,
         [](DeviceOptions* o) {
             setup(o, {{OPT_SOURCE, "Automatic Document Feeder"}}, {{OPT_BR_X, mm(100)}});
             o->slots[OPT_SOURCE].string = adf_copy;
             o->slots[OPT_MODE].string = gray_lower;
         },
         {1, 0, 2, 600, 1369, 0, 2362, 8400, 75, 295, 1050, 0}},
        // No base resolution, no area, whatever the values.
        {"base resolution 0", with(capability_600(), &DeviceCapability::basic_resolution, 0),
         [](DeviceOptions* o) {
             o->slots[OPT_TL_X].word = mm(10);
             o->slots[OPT_BR_X].word = o->slots[OPT_BR_Y].word = mm(100);
         },
         {0, 0, 2, 0, 0, 0, 0, 0, 75, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Table table(c.capability);
        c.prepare(table.options);
        ScanParameter p;
        std::memset(&p, 0xA5, sizeof p);  // a field left unwritten shows
        ASSERT_EQ(make_scan_parameter(table.options, &p), SANE_STATUS_GOOD);
        EXPECT_EQ((std::vector<uint32_t>{p.original_placement, p.scan_side, p.color_mode, p.input_resolution,
                                         p.input_position_x, p.input_position_y, p.input_width, p.input_height,
                                         p.output_resolution, p.output_width, p.output_height, p.black_text_mode}),
                  c.fields);
    }
}

// Pixels <-> SANE_Fixed millimetres with the devices' single-precision 25.4.
TEST(Units, PixelsToMillimetresTruncateAndMillimetresToPixelsRoundHalvesAway) {
    const struct {
        int64_t pixels;
        uint32_t resolution;
        SANE_Fixed fixed;
    } to_fixed[] = {
        {375, 600, 1040383},  // the exact 25.4 would give 1040384
        {-2298, 600, -6375473},  // -6375473.6: toward zero
        {0, 600, 0}, {5100, 0, 0}, {-30, 0, 0},
    };
    for (const auto& c : to_fixed) {
        EXPECT_EQ(signed_pixels_to_fixed_mm(c.pixels, c.resolution), c.fixed) << c.pixels << " at " << c.resolution;
        if (c.pixels >= 0) {
            EXPECT_EQ(pixels_to_fixed_mm(static_cast<uint32_t>(c.pixels), c.resolution), c.fixed);
        }
    }
    const struct {
        SANE_Fixed fixed;
        uint32_t resolution;
        int32_t pixels;
    } to_pixels[] = {
        {6488064, 600, 2339},   // 99 mm: 2338.58 rounds up
        {kFlatbedBrX, 600, 5100},
        {559033, 600, 202},     // 201.500002; the exact 25.4 would give 201
        {-559033, 600, -202},   // away from zero on the negative side
        {6553600, 0, 0},
    };
    for (const auto& c : to_pixels)
        EXPECT_EQ(fixed_mm_to_pixels(c.fixed, c.resolution), c.pixels) << c.fixed << " at " << c.resolution;
}

}  // namespace
