// The option table of a handle, built straight from a capability: what
// creation leaves, how each set is adjusted to its constraint or refused and
// reported in the info bits, the follow-ups of the source (area,
// set-center-scan) and of the minimum scan size, the scan parameters made
// from the options, and the unit conversions underneath.
#include <gtest/gtest.h>

#include <algorithm>
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

constexpr SANE_Int INEXACT = SANE_INFO_INEXACT, PARAMS = SANE_INFO_RELOAD_PARAMS, OPTIONS = SANE_INFO_RELOAD_OPTIONS;
constexpr SANE_Word mm(int millimetres) { return millimetres * 65536; }
constexpr SANE_Word kBedX = 14149222, kBedY = 19459342, kFeederY = 23304601;  // bottom-right maxima
const char* const kAdf = "Automatic Document Feeder";
using Words = std::vector<std::pair<SANE_Int, SANE_Word>>;

// Base resolution 600; flatbed 64..5100 x 64..7014; feeders 64..5100 x 64..8400.
DeviceCapability cap600(std::vector<ScannerUnit> units = {}, uint32_t DeviceCapability::*field = nullptr,
                        uint32_t value = 0) {
    DeviceCapability cap;
    cap.basic_resolution = 600;
    cap.flatbed_min_width = cap.flatbed_min_height = cap.adf_min_Width = cap.adf_min_height = 64;
    cap.flatbed_max_width = cap.adf_max_Width = 5100;
    cap.flatbed_max_height = 7014;
    cap.adf_max_height = 8400;
    cap.scanner_units = std::move(units);
    if (field != nullptr) cap.*field = value;
    return cap;
}
struct Table {
    explicit Table(const DeviceCapability& cap) { EXPECT_EQ(create_device_options(cap, &options), SANE_STATUS_GOOD); }
    ~Table() { EXPECT_EQ(free_device_options(&options), 0); }
    DeviceOptions* operator->() const { return options; }
    DeviceOptions* options = nullptr;
};
// One set from a copy of the value: status, info bits, and the buffer after.
struct Set {
    SANE_Status status = SANE_STATUS_GOOD;
    SANE_Int info = 0;
    SANE_Word word = 0;
    char text[64] = {};
};
Set set(DeviceOptions* options, SANE_Int option, const char* text, SANE_Word word = 0) {
    Set r;
    r.word = word;
    if (text != nullptr) std::strncpy(r.text, text, sizeof r.text - 1);
    r.status = set_option_value(options, option, text ? static_cast<void*>(r.text) : &r.word, &r.info);
    return r;
}
SANE_Word get(DeviceOptions* options, SANE_Int option) {
    SANE_Word word = -12345;
    EXPECT_EQ(get_option_value(options, option, &word), SANE_STATUS_GOOD);
    return word;
}
// The source, if any, then the words; each must be accepted.
void setup(DeviceOptions* options, const char* source, const Words& words) {
    EXPECT_EQ(source ? set(options, OPT_SOURCE, source).status : SANE_STATUS_GOOD, SANE_STATUS_GOOD);
    for (const auto& [option, word] : words) EXPECT_EQ(set(options, option, nullptr, word).status, SANE_STATUS_GOOD);
}
std::vector<SANE_Word> area(DeviceOptions* o) {
    return {get(o, OPT_TL_X), get(o, OPT_TL_Y), get(o, OPT_BR_X), get(o, OPT_BR_Y)};
}
std::vector<const char*> entries(const char** list) {
    std::vector<const char*> got;
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) got.push_back(list[i]);
    return got;
}

TEST(OptionTable, DescriptorsPointAtTheTablesOwnDataAndValuesStartOnTheWholeFlatbed) {
    Table table(cap600({SCANNER_UNIT_ADF}, &DeviceCapability::adf_max_Width, 4000));
    for (SANE_Int i : {0, 9, 10, -1, INT_MIN})
        EXPECT_EQ(get_option_descriptor(table.options, i), i == 0 || i == 9 ? &table->descriptors[i] : nullptr);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].constraint.string_list, table->source_list);
    // The first source's sizes at the base resolution, though the feeder's differ.
    const SANE_Range ranges[] = {{0, 13971663, 0}, {0, 19281783, 0}, {177558, kBedX, 0}, {177558, kBedY, 0}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(table->descriptors[OPT_TL_X + i].constraint.range, &table->ranges[i]);
        EXPECT_EQ(std::memcmp(&table->ranges[i], &ranges[i], sizeof ranges[i]), 0) << i;
    }
    EXPECT_EQ(area(table.options), (std::vector<SANE_Word>{0, 0, kBedX, kBedY}));
    // set-center-scan: inactive and false while the source is the flatbed, even with a feeder.
    EXPECT_EQ(std::vector<SANE_Word>({get(table.options, OPT_NUM_OPTIONS), get(table.options, OPT_RESOLUTION),
                                      get(table.options, OPT_CENTER_SCAN), table->descriptors[OPT_CENTER_SCAN].cap}),
              std::vector<SANE_Word>({10, 75, SANE_FALSE, SANE_CAP_INACTIVE}));
    EXPECT_EQ(table->slots[OPT_MODE].string, MODE_LIST[1]);
    EXPECT_EQ(table->slots[OPT_SOURCE].string, SOURCE_FLATBED);
}

// An append that fails on the calls whose bit is set, and succeeds otherwise.
uint32_t g_calls = 0, g_failing = 0;
uint32_t flaky_append(const char* string, const char** list, uint32_t count, const char*** out) {
    return (g_failing >> g_calls++) & 1u ? count : append_string(string, list, count, out);
}

// The flatbed, then each feeder unit in the capability's order, as the shared strings
// themselves; one that cannot be stored is left out. Without any: size 0, no value.
TEST(OptionTable, SourceListFollowsTheUnitsAndLeavesOutWhatCannotBeStored) {
    const auto F = SCANNER_UNIT_FLATBED, A = SCANNER_UNIT_ADF, D = SCANNER_UNIT_ADF_DUPLEX;
    const struct {
        std::vector<ScannerUnit> units;
        uint32_t failing;  // appends that fail, one bit per call
        std::vector<const char*> sources;
        SANE_Int size;
    } cases[] = {
        {{D, A, F}, 0, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX, SOURCE_ADF}, 26},
        {{A, A, F, F}, 0, {SOURCE_FLATBED, SOURCE_ADF, SOURCE_ADF}, 26},
        {{static_cast<ScannerUnit>(7), D}, 0, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX}, 11},
        {{A, D, A}, 0b0010, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX, SOURCE_ADF}, 26},
        {{A, D, A}, 0b0001, {SOURCE_ADF, SOURCE_ADF_DUPLEX, SOURCE_ADF}, 26},
        {{A, D, A}, 0b1111, {}, 0},
    };
    for (const auto& c : cases) {
        Table table(cap600(c.units));
        if (c.failing != 0) {
            g_calls = 0;
            g_failing = c.failing;
            std::free(static_cast<void*>(table->source_list));
            attach_source_list(table.options, build_source_list(cap600(c.units), flaky_append));
        }
        EXPECT_EQ(entries(table->source_list), c.sources);
        EXPECT_EQ(table->slots[OPT_SOURCE].string, c.sources.empty() ? nullptr : c.sources[0]);
        EXPECT_EQ(table->descriptors[OPT_SOURCE].size, c.size);
        if (!c.sources.empty()) continue;
        // Without a source a get copies nothing, a set is refused, the geometry is the flatbed's.
        char buffer[8] = "keep";
        EXPECT_EQ(get_option_value(table.options, OPT_SOURCE, buffer), SANE_STATUS_GOOD);
        EXPECT_STREQ(buffer, "keep");
        EXPECT_EQ(set(table.options, OPT_SOURCE, "Flatbed").status, SANE_STATUS_INVAL);
        apply_source_geometry(table.options);
        ScanParameter parameter{};
        EXPECT_EQ(make_scan_parameter(table.options, &parameter), SANE_STATUS_GOOD);
        EXPECT_EQ(parameter.input_width, 5100u);
    }
    EXPECT_EQ(append_string("x", nullptr, 3, nullptr), 3u) << "without an output address nothing changes";
}

// Words take the nearest list word or are clamped into the range; strings match ignoring
// case and store the list's own entry. An adjusted value is written back and reported
// INEXACT. A refused set changes neither the table nor the buffer, whatever broke the rule.
TEST(OptionSet, ValuesAreAdjustedToTheirConstraintOrRefused) {
    const auto fixed = [](SANE_Int o) { return [o](DeviceOptions* t) { t->slots[o].flags &= ~SLOT_ADJUSTABLE; }; };
    const auto unconstrained = [](SANE_Int o) {
        return [o](DeviceOptions* t) { t->descriptors[o].constraint.string_list = nullptr; };
    };
    const auto retype = [](SANE_Int o, SANE_Value_Type type) {
        return [o, type](DeviceOptions* t) { t->descriptors[o].type = type; };
    };
    static const SANE_String_Const empty[] = {nullptr};
    constexpr SANE_Int REFUSED = -1;
    const struct {
        const char* label;
        SANE_Int option;
        const char* text;  // a string set, or a set of `word` when null
        SANE_Word word;
        SANE_Int info;
        SANE_Word after = 0;           // a word set's buffer and value after
        const char* stored = nullptr;  // a string set's stored entry
        std::function<void(DeviceOptions*)> prepare = nullptr;
    } cases[] = {
        {"nearest word", OPT_RESOLUTION, nullptr, 180, INEXACT | PARAMS, 175},
        {"a listed word", OPT_RESOLUTION, nullptr, 75, PARAMS, 75},
        {"a tie: the earlier word", OPT_RESOLUTION, nullptr, 250, INEXACT | PARAMS, 200},
        {"below the list", OPT_RESOLUTION, nullptr, 0, INEXACT | PARAMS, 75},
        {"nothing read past the list", OPT_RESOLUTION, nullptr, 1200, INEXACT | PARAMS, 300},
        {"below the range", OPT_TL_X, nullptr, -327680, INEXACT | PARAMS, 0},
        {"above the range", OPT_TL_X, nullptr, 13971664, INEXACT | PARAMS, 13971663},
        {"the max itself", OPT_BR_X, nullptr, kBedX, PARAMS, kBedX},
        {"set-center-scan: any word, no follow-up", OPT_CENTER_SCAN, nullptr, 7, 0, 7},
        {"other case", OPT_MODE, "gray", 0, INEXACT | PARAMS, 0, MODE_LIST[0]},
        {"same case", OPT_MODE, "Gray", 0, PARAMS, 0, MODE_LIST[0]},
        {"source in other case", OPT_SOURCE, "flatbed", 0, INEXACT | OPTIONS | PARAMS, 0, SOURCE_FLATBED},
        {"unknown mode", OPT_MODE, "Lineart", 0, REFUSED},
        {"a prefix is no match", OPT_MODE, "Gra", 0, REFUSED},
        {"not this device's source", OPT_SOURCE, "ADF Duplex", 0, REFUSED},
        {"count option", OPT_NUM_OPTIONS, nullptr, 11, REFUSED},
        {"group option", OPT_GEOMETRY_GROUP, nullptr, 1, REFUSED},
        {"range, not adjustable", OPT_TL_X, nullptr, -1, REFUSED, 0, nullptr, fixed(OPT_TL_X)},
        {"word list, not adjustable", OPT_RESOLUTION, nullptr, 180, REFUSED, 0, nullptr, fixed(OPT_RESOLUTION)},
        {"case, not adjustable", OPT_MODE, "gray", 0, REFUSED, 0, nullptr, fixed(OPT_MODE)},
        {"range missing", OPT_BR_X, nullptr, mm(10), REFUSED, 0, nullptr, unconstrained(OPT_BR_X)},
        {"word list missing", OPT_RESOLUTION, nullptr, 100, REFUSED, 0, nullptr, unconstrained(OPT_RESOLUTION)},
        {"string list missing", OPT_MODE, "Gray", 0, REFUSED, 0, nullptr, unconstrained(OPT_MODE)},
        {"range, wrong type", OPT_BR_X, nullptr, mm(10), REFUSED, 0, nullptr, retype(OPT_BR_X, SANE_TYPE_BOOL)},
        {"list, wrong type", OPT_RESOLUTION, nullptr, 1, REFUSED, 0, nullptr, retype(OPT_RESOLUTION, SANE_TYPE_BOOL)},
        {"strings, wrong type", OPT_MODE, "Gray", 0, REFUSED, 0, nullptr, retype(OPT_MODE, SANE_TYPE_INT)},
        {"string list empty", OPT_MODE, "Gray", 0, REFUSED, 0, nullptr,
         [](DeviceOptions* o) { o->descriptors[OPT_MODE].constraint.string_list = empty; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Table table(cap600({SCANNER_UNIT_ADF}));
        if (c.prepare) c.prepare(table.options);
        OptionSlot slots[NUM_OPTIONS];
        std::memcpy(slots, table->slots, sizeof slots);
        const Set r = set(table.options, c.option, c.text, c.word);
        EXPECT_EQ(r.status, c.info == REFUSED ? SANE_STATUS_INVAL : SANE_STATUS_GOOD);
        EXPECT_EQ(r.info, std::max(c.info, 0));
        if (c.info == REFUSED) {
            EXPECT_EQ(std::memcmp(table->slots, slots, sizeof slots), 0);
            EXPECT_EQ(c.text ? std::string(r.text) : std::to_string(r.word), c.text ? c.text : std::to_string(c.word));
        } else if (c.text) {
            EXPECT_EQ(table->slots[c.option].string, c.stored);
            EXPECT_STREQ(r.text, c.stored);
        } else {
            EXPECT_EQ(r.word, c.after);  // rewritten only when adjusted
            EXPECT_EQ(get(table.options, c.option), c.after);
        }
        EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);
    }
}

// Every source set, the same again too, starts from the source's whole area; set-center-scan
// is active and true only with a feeder. A set of either corner keeps the area at least the
// minimum size wide (high) by moving the bottom-right corner; the buffer is not rewritten.
TEST(OptionSet, SourceAndMinimumSizeFollowUps) {
    const DeviceCapability cap = cap600({SCANNER_UNIT_ADF, SCANNER_UNIT_ADF_DUPLEX});
    const Words moved = {{OPT_TL_X, mm(5)}, {OPT_TL_Y, mm(6)}, {OPT_BR_X, mm(70)}, {OPT_BR_Y, mm(80)}};
    const struct {
        const char* label;
        DeviceCapability capability;
        const char* source;  // set first
        Words before;
        SANE_Int option;
        const char* text;  // the set: a source, or `word`
        SANE_Word word;
        std::vector<SANE_Word> area;
        SANE_Int info = INEXACT | PARAMS;
        bool centring = false;
    } cases[] = {
        {"same source again", cap, nullptr, moved, OPT_SOURCE, "Flatbed", 0, {0, 0, kBedX, kBedY}, OPTIONS | PARAMS},
        {"feeder", cap, nullptr, moved, OPT_SOURCE, kAdf, 0, {0, 0, kBedX, kFeederY}, OPTIONS | PARAMS, true},
        {"back to the flatbed", cap, kAdf, moved, OPT_SOURCE, "Flatbed", 0, {0, 0, kBedX, kBedY}, OPTIONS | PARAMS},
        // Pixels at 600 dpi: t 2362, b 2386, d 24 < 64: br-x to 2426; b 2339, d -23: to 2298.
        {"right of tl-x", cap, nullptr, {{OPT_TL_X, mm(100)}}, OPT_BR_X, nullptr, mm(101),
         {mm(100), 0, 6730590, kBedY}},
        {"left of tl-x", cap, nullptr, {{OPT_TL_X, mm(100)}}, OPT_BR_X, nullptr, mm(99), {mm(100), 0, 6375473, kBedY}},
        {"on tl-x: d 0 counts as right", cap, nullptr, {{OPT_TL_X, mm(100)}}, OPT_BR_X, nullptr, mm(100),
         {mm(100), 0, 6730590, kBedY}},
        {"tl-x moves br-x to 2403", cap, nullptr, {{OPT_BR_X, mm(100)}}, OPT_TL_X, nullptr, mm(99),
         {mm(99), 0, 6666780, kBedY}},
        {"exactly the minimum", cap, nullptr, {}, OPT_TL_X, nullptr, 13971663, {13971663, 0, kBedX, kBedY}, PARAMS},
        // b 30 is below the range and left there; then t 47, d -17: br-x to pixel -17, left of 0.
        {"negative pixel", cap, nullptr, {{OPT_TL_X, mm(4)}, {OPT_BR_X, 229376}}, OPT_TL_X, nullptr, mm(2),
         {mm(2), 0, -47164, kBedY}},
        {"height uses the minimum height", cap600({}, &DeviceCapability::flatbed_min_height, 128), nullptr,
         {{OPT_TL_Y, mm(100)}}, OPT_BR_Y, nullptr, mm(101), {0, mm(100), kBedX, 6908149}},
        {"feeder's own minimum", cap600({SCANNER_UNIT_ADF}, &DeviceCapability::adf_min_Width, 100), kAdf,
         {{OPT_TL_X, mm(100)}}, OPT_BR_X, nullptr, mm(101), {mm(100), 0, pixels_to_fixed_mm(2462, 600), kFeederY},
         INEXACT | PARAMS, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Table table(c.capability);
        setup(table.options, c.source, c.before);
        const Set result = set(table.options, c.option, c.text, c.word);
        EXPECT_EQ(result.status, SANE_STATUS_GOOD);
        EXPECT_EQ(result.word, c.word);
        EXPECT_EQ(result.info, c.info);
        EXPECT_EQ(area(table.options), c.area);
        EXPECT_EQ(table->ranges[3].max, c.centring ? kFeederY : kBedY) << "the source's own range";
        EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, c.centring ? SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT
                                                                      : SANE_CAP_INACTIVE);
        EXPECT_EQ(get(table.options, OPT_CENTER_SCAN), c.centring ? SANE_TRUE : SANE_FALSE);
    }
}

TEST(OptionControl, ArgumentsActionsAndTheInfoWord) {
    Table table(cap600({SCANNER_UNIT_ADF}));
    device_t device;
    device.options = table.options;
    SANE_Word word = 100;
    SANE_Int info = 99;
    char mode[] = "Lineart", source[] = "flatbed", buffer[40];
    EXPECT_EQ(control_device_option(&device, OPT_MODE, SANE_ACTION_SET_VALUE, mode, &info), SANE_STATUS_INVAL);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(control_device_option(&device, OPT_SOURCE, SANE_ACTION_SET_VALUE, source, nullptr), SANE_STATUS_GOOD);
    EXPECT_STREQ(source, "Flatbed");
    info = 99;
    EXPECT_EQ(std::vector<SANE_Status>(
                  {control_device_option(nullptr, OPT_RESOLUTION, SANE_ACTION_GET_VALUE, &word, &info),
                   control_device_option(&device, OPT_GEOMETRY_GROUP, SANE_ACTION_GET_VALUE, &word, &info),
                   control_device_option(&device, OPT_RESOLUTION, SANE_ACTION_SET_AUTO, &word, &info),
                   control_device_option(&device, OPT_RESOLUTION, static_cast<SANE_Action>(3), &word, &info),
                   set_option_value(table.options, -1, &word, &info), get_option_value(table.options, 10, &word),
                   get_option_value(table.options, 0, nullptr), set_option_value(table.options, 0, nullptr, &info)}),
              std::vector<SANE_Status>({SANE_STATUS_INVAL, SANE_STATUS_INVAL, SANE_STATUS_UNSUPPORTED,
                                        SANE_STATUS_GOOD, SANE_STATUS_INVAL, SANE_STATUS_INVAL, SANE_STATUS_INVAL,
                                        SANE_STATUS_INVAL}));
    EXPECT_EQ(info, 99);
    EXPECT_EQ(get(table.options, OPT_RESOLUTION), 75) << "an unknown action does nothing at all";
    // A string is read as its descriptor's size: the value, then zero bytes.
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(get_option_value(table.options, OPT_SOURCE, buffer), SANE_STATUS_GOOD);
    EXPECT_EQ(std::string(buffer, 27), std::string("Flatbed") + std::string(19, '\0') + "x");
    device.options = nullptr;
}

TEST(MakeScanParameter, FromTheOptions) {
    static const char adf_copy[] = "Automatic Document Feeder", gray_lower[] = "gray";
    const DeviceCapability adf = cap600({SCANNER_UNIT_ADF});
    const auto centre = [](SANE_Word on) {
        return Words{{OPT_TL_X, mm(10)}, {OPT_BR_X, mm(110)}, {OPT_CENTER_SCAN, on}};
    };
    const struct {
        const char* label;
        DeviceCapability capability;
        const char* source;
        Words words;
        std::function<void(OptionSlot*)> raw;  // then values no set could store
        std::vector<uint32_t> fields;          // in the request's order
    } cases[] = {
        {"whole flatbed, black text support not passed on", cap600({}, &DeviceCapability::black_text_support, 1),
         nullptr, {{OPT_RESOLUTION, 300}}, nullptr, {0, 0, 2, 600, 0, 0, 5100, 7014, 300, 2550, 3507, 0}},
        // 591 is round(590.5): halves go away from zero.
        {"centred duplex feeder in gray", cap600({SCANNER_UNIT_ADF_DUPLEX}), "ADF Duplex",
         {{OPT_RESOLUTION, 150}, {OPT_BR_X, mm(100)}}, [](OptionSlot* s) { s[OPT_MODE].string = MODE_LIST[0]; },
         {1, 1, 1, 600, 1369, 0, 2362, 8400, 150, 591, 2100, 0}},
        // 99 mm is too close to 100: the minimum size puts both corners at 2298 pixels.
        {"corners set in reverse", cap600(), nullptr,
         {{OPT_RESOLUTION, 300}, {OPT_TL_X, mm(100)}, {OPT_TL_Y, mm(100)}, {OPT_BR_X, mm(99)}, {OPT_BR_Y, mm(99)}},
         nullptr, {0, 0, 2, 600, 2298, 2298, 64, 64, 300, 32, 32, 0}},
        {"flatbed is never centred", adf, nullptr, centre(1), nullptr,
         {0, 0, 2, 600, 236, 0, 2362, 7014, 75, 295, 877, 0}},
        {"feeder centred only by the value 1", adf, kAdf, centre(2), nullptr,
         {1, 0, 2, 600, 236, 0, 2362, 8400, 75, 295, 1050, 0}},
        // (4000 - 2362.2) / 2 pixels from the left edge: the feeder's own width.
        {"centred on a narrower feeder", cap600({SCANNER_UNIT_ADF}, &DeviceCapability::adf_max_Width, 4000), kAdf,
         {{OPT_BR_X, mm(100)}}, nullptr, {1, 0, 2, 600, 819, 0, 2362, 8400, 75, 295, 1050, 0}},
        // Source and mode are compared by text, case-sensitively.
        {"a copy of the source, a lower-case mode", adf, kAdf, {{OPT_BR_X, mm(100)}},
         [](OptionSlot* s) { s[OPT_SOURCE].string = adf_copy, s[OPT_MODE].string = gray_lower; },
         {1, 0, 2, 600, 1369, 0, 2362, 8400, 75, 295, 1050, 0}},
        {"base resolution 0: no area, whatever the values", cap600({}, &DeviceCapability::basic_resolution, 0),
         nullptr, {}, [](OptionSlot* s) { s[OPT_TL_X].word = s[OPT_BR_X].word = s[OPT_BR_Y].word = mm(10); },
         {0, 0, 2, 0, 0, 0, 0, 0, 75, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Table table(c.capability);
        setup(table.options, c.source, c.words);
        if (c.raw) c.raw(table->slots);
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
    EXPECT_EQ(pixels_to_fixed_mm(375, 600), 1040383);  // the exact 25.4 would give 1040384
    EXPECT_EQ(pixels_to_fixed_mm(5100, 0), 0);
    EXPECT_EQ(signed_pixels_to_fixed_mm(-2298, 600), -6375473);  // -6375473.6: toward zero
    EXPECT_EQ(fixed_mm_to_pixels(559033, 600), 202);    // 201.500002; the exact 25.4 would give 201
    EXPECT_EQ(fixed_mm_to_pixels(-559033, 600), -202);  // away from zero on the negative side
    EXPECT_EQ(fixed_mm_to_pixels(6553600, 0), 0);
}

}  // namespace
