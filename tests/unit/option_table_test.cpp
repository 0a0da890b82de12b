// The option table as create_device_options leaves it: descriptors, source
// lists, ranges, initial values, and the descriptor lookup.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "options/option_table_internal.h"
#include "options/options.h"
#include "tests/unit/option_test_support.h"

namespace {

using option_test::capability_600;
using option_test::get_word;
using option_test::Table;

std::vector<const char*> entries(const char** list) {
    std::vector<const char*> got;
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) got.push_back(list[i]);
    return got;
}

// ------------------------------------------------------------ descriptors

TEST(OptionTable, DescriptorsAfterCreation) {
    constexpr SANE_Int SOFT = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    const struct {
        const char *name, *title, *desc;
        SANE_Value_Type type;
        SANE_Unit unit;
        SANE_Int size, cap;
        SANE_Constraint_Type constraint;
    } cases[NUM_OPTIONS] = {
        {"", "Number of options", "Read-only option that specifies how many options a specific devices supports.",
         SANE_TYPE_INT, SANE_UNIT_NONE, 4, SANE_CAP_SOFT_DETECT, SANE_CONSTRAINT_NONE},
        {"source", "Scan source", "Selects the scan source (such as a document-feeder).", SANE_TYPE_STRING,
         SANE_UNIT_NONE, 8, SOFT, SANE_CONSTRAINT_STRING_LIST},
        {"mode", "Scan mode", "Selects the scan mode (e.g., lineart, monochrome, or color).", SANE_TYPE_STRING,
         SANE_UNIT_NONE, 6, SOFT, SANE_CONSTRAINT_STRING_LIST},
        {"resolution", "Scan resolution", "Sets the resolution of the scanned image.", SANE_TYPE_INT, SANE_UNIT_DPI,
         4, SOFT, SANE_CONSTRAINT_WORD_LIST},
        {"geometry", "Geometry", "Scan area and media size options", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0, 0,
         SANE_CONSTRAINT_NONE},
        {"tl-x", "Top-left x", "Top-left x position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, 4, SOFT,
         SANE_CONSTRAINT_RANGE},
        {"tl-y", "Top-left y", "Top-left y position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, 4, SOFT,
         SANE_CONSTRAINT_RANGE},
        {"br-x", "Bottom-right x", "Bottom-right x position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, 4, SOFT,
         SANE_CONSTRAINT_RANGE},
        {"br-y", "Bottom-right y", "Bottom-right y position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, 4, SOFT,
         SANE_CONSTRAINT_RANGE},
        {"set-center-scan", "Correct X coordinates to center of feeder",
         "Correct the X coordinates to values that assume the documents are placed in the center of the feeder.",
         SANE_TYPE_BOOL, SANE_UNIT_NONE, 4, SANE_CAP_INACTIVE, SANE_CONSTRAINT_NONE},
    };
    Table table(capability_600());
    for (SANE_Int index = 0; index < NUM_OPTIONS; ++index) {
        SCOPED_TRACE(testing::Message() << "option " << index);
        const auto& c = cases[index];
        const SANE_Option_Descriptor* d = get_option_descriptor(table.get(), index);
        ASSERT_EQ(d, &table->descriptors[index]);
        EXPECT_STREQ(d->name, c.name);
        EXPECT_STREQ(d->title, c.title);
        EXPECT_STREQ(d->desc, c.desc);
        EXPECT_EQ(d->type, c.type);
        EXPECT_EQ(d->unit, c.unit);
        EXPECT_EQ(d->size, c.size);
        EXPECT_EQ(d->cap, c.cap);
        EXPECT_EQ(d->constraint_type, c.constraint);
    }
    for (SANE_Int index : {10, -1, INT_MIN}) EXPECT_EQ(get_option_descriptor(table.get(), index), nullptr) << index;
}

TEST(OptionTable, ConstraintsPointAtTheTablesOwnData) {
    Table table(capability_600());
    EXPECT_EQ(table->descriptors[OPT_NUM_OPTIONS].constraint.string_list, nullptr);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].constraint.string_list, table->source_list);
    EXPECT_EQ(table->descriptors[OPT_MODE].constraint.string_list, MODE_LIST);
    EXPECT_EQ(table->descriptors[OPT_RESOLUTION].constraint.word_list, RESOLUTION_LIST);
    EXPECT_EQ(table->descriptors[OPT_GEOMETRY_GROUP].constraint.string_list, nullptr);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(table->descriptors[OPT_TL_X + i].constraint.range, &table->ranges[i]) << "area option " << i;
    }
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].constraint.string_list, nullptr);
}

// ------------------------------------------------------------ source lists

TEST(OptionTable, SourceListFollowsTheCapabilityUnits) {
    const auto F = SCANNER_UNIT_FLATBED;
    const auto A = SCANNER_UNIT_ADF;
    const auto D = SCANNER_UNIT_ADF_DUPLEX;
    const struct {
        const char* label;
        std::vector<ScannerUnit> units;
        std::vector<const char*> sources;  // expected pointers: the shared strings, not copies
        SANE_Int size;
    } cases[] = {
        {"no units", {}, {SOURCE_FLATBED}, 8},
        {"flatbed only", {F}, {SOURCE_FLATBED}, 8},
        {"all three", {F, A, D}, {SOURCE_FLATBED, SOURCE_ADF, SOURCE_ADF_DUPLEX}, 26},
        {"capability order", {D, A}, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX, SOURCE_ADF}, 26},
        {"duplicates", {A, A, F, F}, {SOURCE_FLATBED, SOURCE_ADF, SOURCE_ADF}, 26},
        {"unknown unit", {static_cast<ScannerUnit>(7), D}, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX}, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Table table(capability_600(c.units));
        EXPECT_EQ(entries(table->source_list), c.sources);
        EXPECT_EQ(table->descriptors[OPT_SOURCE].size, c.size);
        EXPECT_EQ(table->slots[OPT_SOURCE].string, SOURCE_FLATBED);
    }
}

TEST(AppendString, GrowsTheListAndKeepsItTerminated) {
    const char** list = nullptr;
    const char* texts[] = {"one", "two", "three"};
    uint32_t count = 0;
    for (uint32_t i = 0; i < 3; ++i) {
        const char** out = nullptr;
        count = append_string(texts[i], list, count, &out);
        ASSERT_EQ(count, i + 1);
        ASSERT_NE(out, nullptr);
        list = out;
        EXPECT_EQ(list[i + 1], nullptr);
    }
    EXPECT_EQ(entries(list), (std::vector<const char*>{texts[0], texts[1], texts[2]}));
    // Without an output address nothing changes.
    EXPECT_EQ(append_string("four", list, 3, nullptr), 3u);
    EXPECT_EQ(list[3], nullptr);
    std::free(static_cast<void*>(list));
}

// An append that fails on chosen calls and succeeds otherwise.
uint32_t g_append_calls = 0;
uint32_t g_failing_calls_mask = 0;  // bit n: call n fails

uint32_t flaky_append(const char* string, const char** list, uint32_t count, const char*** out) {
    const uint32_t call = g_append_calls++;
    if ((g_failing_calls_mask >> call) & 1u) return count;
    return append_string(string, list, count, out);
}

TEST(OptionTable, FailedAppendsLeaveOutOnlyTheirEntries) {
    const struct {
        uint32_t failing_calls_mask;
        std::vector<const char*> sources;
    } cases[] = {
        {0b0010, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX, SOURCE_ADF}},
        {0b0001, {SOURCE_ADF, SOURCE_ADF_DUPLEX, SOURCE_ADF}},
        {0b1111, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing_calls_mask);
        g_append_calls = 0;
        g_failing_calls_mask = c.failing_calls_mask;
        const char** list = build_source_list(
            capability_600({SCANNER_UNIT_ADF, SCANNER_UNIT_ADF_DUPLEX, SCANNER_UNIT_ADF}), flaky_append);
        EXPECT_EQ(g_append_calls, 4u);
        EXPECT_EQ(entries(list), c.sources);
        EXPECT_EQ(list == nullptr, c.sources.empty());
        std::free(static_cast<void*>(list));
    }
}

// A table whose source list could not hold a single entry: the source option
// has size 0, no list and no value, and nothing else breaks.
TEST(OptionTable, EmptySourceListLeavesASourceOptionWithoutValue) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    std::free(static_cast<void*>(table->source_list));
    attach_source_list(table.get(), nullptr);

    EXPECT_EQ(table->source_list, nullptr);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].size, 0);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].constraint.string_list, nullptr);
    EXPECT_EQ(table->slots[OPT_SOURCE].string, nullptr);

    char buffer[8] = "keep";
    EXPECT_EQ(get_option_value(table.get(), OPT_SOURCE, buffer), SANE_STATUS_GOOD);
    EXPECT_STREQ(buffer, "keep");  // size 0: nothing is copied
    EXPECT_EQ(option_test::set_string(table.get(), OPT_SOURCE, "Flatbed").status, SANE_STATUS_INVAL);

    // Without a source value the geometry is the flatbed's.
    apply_source_geometry(table.get());
    EXPECT_EQ(table->ranges[2].max, 14149222);
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);
    ScanParameter parameter{};
    EXPECT_EQ(make_scan_parameter(table.get(), &parameter), SANE_STATUS_GOOD);
    EXPECT_EQ(parameter.original_placement, 0u);
    EXPECT_EQ(parameter.input_width, 5100u);
}

// ------------------------------------------------------------ ranges, area and values

void expect_ranges_and_area(const DeviceOptions* options, const SANE_Range (&expected)[4]) {
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(testing::Message() << "range " << i);
        EXPECT_EQ(options->ranges[i].min, expected[i].min);
        EXPECT_EQ(options->ranges[i].max, expected[i].max);
        EXPECT_EQ(options->ranges[i].quant, 0);
    }
    // The whole area: the top-left corner at 0, the bottom-right at the maxima.
    EXPECT_EQ(options->slots[OPT_TL_X].word, 0);
    EXPECT_EQ(options->slots[OPT_TL_Y].word, 0);
    EXPECT_EQ(options->slots[OPT_BR_X].word, expected[2].max);
    EXPECT_EQ(options->slots[OPT_BR_Y].word, expected[3].max);
}

TEST(OptionTable, RangesAndAreaOfTheFlatbed) {
    // Feeder sizes differ from the flatbed's, but the first source decides.
    DeviceCapability cap = capability_600({SCANNER_UNIT_ADF});
    cap.adf_max_Width = 4000;
    Table table(cap);
    expect_ranges_and_area(table.get(),
                           {{0, 13971663, 0}, {0, 19281783, 0}, {177558, 14149222, 0}, {177558, 19459342, 0}});
}

TEST(OptionTable, BaseResolutionZeroGivesEmptyRanges) {
    DeviceCapability cap = capability_600();
    cap.basic_resolution = 0;
    Table table(cap);
    expect_ranges_and_area(table.get(), {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
}

TEST(OptionTable, InitialValues) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    EXPECT_EQ(get_word(table.get(), OPT_NUM_OPTIONS), 10);
    EXPECT_EQ(get_word(table.get(), OPT_RESOLUTION), 75);
    char mode[16];
    EXPECT_EQ(get_option_value(table.get(), OPT_MODE, mode), SANE_STATUS_GOOD);
    EXPECT_STREQ(mode, "Color");
    EXPECT_EQ(table->slots[OPT_MODE].string, MODE_LIST[1]);
    // False while the source is the flatbed, even with a feeder.
    EXPECT_EQ(get_word(table.get(), OPT_CENTER_SCAN), SANE_FALSE);
}

TEST(OptionTable, OwnsACopyOfTheCapabilityAndFreeingClearsTheField) {
    DeviceCapability cap = capability_600({SCANNER_UNIT_ADF_DUPLEX});
    cap.black_text_support = 1;
    DeviceOptions* options = nullptr;
    ASSERT_EQ(create_device_options(cap, &options), SANE_STATUS_GOOD);
    cap.basic_resolution = 1;
    cap.scanner_units.clear();
    EXPECT_EQ(options->capability.basic_resolution, 600u);
    EXPECT_EQ(options->capability.black_text_support, 1u);
    EXPECT_EQ(options->capability.scanner_units, std::vector<ScannerUnit>{SCANNER_UNIT_ADF_DUPLEX});
    EXPECT_EQ(free_device_options(&options), 0);
    EXPECT_EQ(options, nullptr);
}

}  // namespace
