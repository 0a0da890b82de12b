// The option table as create_device_options leaves it: descriptors, source
// lists, ranges, initial values, and the descriptor lookup.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options/option_table_internal.h"
#include "options/options.h"
#include "tests/unit/option_test_support.h"

namespace {

using option_test::capability_600;
using option_test::Table;

// ------------------------------------------------------------ descriptors

struct DescriptorCase {
    SANE_Int index;
    const char* name;
    const char* title;
    const char* desc;
    SANE_Value_Type type;
    SANE_Unit unit;
    SANE_Int size;
    SANE_Int cap;
    SANE_Constraint_Type constraint;
};

constexpr SANE_Int SOFT = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

const DescriptorCase DESCRIPTOR_CASES[] = {
    {0, "", "Number of options", "Read-only option that specifies how many options a specific devices supports.",
     SANE_TYPE_INT, SANE_UNIT_NONE, 4, SANE_CAP_SOFT_DETECT, SANE_CONSTRAINT_NONE},
    {1, "source", "Scan source", "Selects the scan source (such as a document-feeder).", SANE_TYPE_STRING,
     SANE_UNIT_NONE, 8, SOFT, SANE_CONSTRAINT_STRING_LIST},
    {2, "mode", "Scan mode", "Selects the scan mode (e.g., lineart, monochrome, or color).", SANE_TYPE_STRING,
     SANE_UNIT_NONE, 6, SOFT, SANE_CONSTRAINT_STRING_LIST},
    {3, "resolution", "Scan resolution", "Sets the resolution of the scanned image.", SANE_TYPE_INT, SANE_UNIT_DPI,
     4, SOFT, SANE_CONSTRAINT_WORD_LIST},
    {4, "geometry", "Geometry", "Scan area and media size options", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0, 0,
     SANE_CONSTRAINT_NONE},
    {5, "tl-x", "Top-left x", "Top-left x position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, 4, SOFT,
     SANE_CONSTRAINT_RANGE},
    {6, "tl-y", "Top-left y", "Top-left y position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, 4, SOFT,
     SANE_CONSTRAINT_RANGE},
    {7, "br-x", "Bottom-right x", "Bottom-right x position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, 4, SOFT,
     SANE_CONSTRAINT_RANGE},
    {8, "br-y", "Bottom-right y", "Bottom-right y position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, 4, SOFT,
     SANE_CONSTRAINT_RANGE},
    {9, "set-center-scan", "Correct X coordinates to center of feeder",
     "Correct the X coordinates to values that assume the documents are placed in the center of the feeder.",
     SANE_TYPE_BOOL, SANE_UNIT_NONE, 4, SANE_CAP_INACTIVE, SANE_CONSTRAINT_NONE},
};

class Descriptor : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(Descriptor, MatchesTheTableAfterCreation) {
    const DescriptorCase& c = GetParam();
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const SANE_Option_Descriptor* d = get_option_descriptor(table.get(), c.index);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d, &table->descriptors[c.index]);
    EXPECT_STREQ(d->name, c.name);
    EXPECT_STREQ(d->title, c.title);
    EXPECT_STREQ(d->desc, c.desc);
    EXPECT_EQ(d->type, c.type);
    EXPECT_EQ(d->unit, c.unit);
    EXPECT_EQ(d->size, c.size);
    EXPECT_EQ(d->cap, c.cap);
    EXPECT_EQ(d->constraint_type, c.constraint);
}

INSTANTIATE_TEST_SUITE_P(AllOptions, Descriptor, ::testing::ValuesIn(DESCRIPTOR_CASES));

TEST(OptionTable, ConstraintsPointAtTheTablesOwnData) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
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

TEST(OptionTable, SlotFlags) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const uint32_t expected[NUM_OPTIONS] = {0, 7, 5, 5, 0, 7, 7, 7, 7, 0};
    for (int i = 0; i < NUM_OPTIONS; ++i) {
        EXPECT_EQ(table->slots[i].flags, expected[i]) << "option " << i;
    }
}

TEST(OptionTable, SharedLists) {
    EXPECT_STREQ(MODE_LIST[0], "Gray");
    EXPECT_STREQ(MODE_LIST[1], "Color");
    EXPECT_EQ(MODE_LIST[2], nullptr);
    const std::vector<SANE_Word> resolutions(RESOLUTION_LIST, RESOLUTION_LIST + 8);
    EXPECT_EQ(resolutions, (std::vector<SANE_Word>{7, 75, 100, 125, 150, 175, 200, 300}));
}

// ------------------------------------------------------------ descriptor lookup

TEST(GetOptionDescriptor, OnlyIndicesZeroToNine) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    EXPECT_EQ(get_option_descriptor(table.get(), 10), nullptr);
    EXPECT_EQ(get_option_descriptor(table.get(), -1), nullptr);
    EXPECT_EQ(get_option_descriptor(table.get(), INT_MIN), nullptr);
    const SANE_Option_Descriptor* nine = get_option_descriptor(table.get(), 9);
    ASSERT_NE(nine, nullptr);
    EXPECT_STREQ(nine->name, "set-center-scan");
    const SANE_Option_Descriptor* zero = get_option_descriptor(table.get(), 0);
    EXPECT_EQ(zero, &table->descriptors[0]);
}

// ------------------------------------------------------------ source lists

struct SourceCase {
    const char* label;
    std::vector<ScannerUnit> units;
    std::vector<const char*> sources;  // expected pointers, shared strings
    SANE_Int size;
};

std::vector<SourceCase> source_cases() {
    const auto F = SCANNER_UNIT_FLATBED;
    const auto A = SCANNER_UNIT_ADF;
    const auto D = SCANNER_UNIT_ADF_DUPLEX;
    return {
        {"no_units", {}, {SOURCE_FLATBED}, 8},
        {"flatbed_only", {F}, {SOURCE_FLATBED}, 8},
        {"all_three", {F, A, D}, {SOURCE_FLATBED, SOURCE_ADF, SOURCE_ADF_DUPLEX}, 26},
        {"capability_order", {D, A}, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX, SOURCE_ADF}, 26},
        {"duplex_only", {D}, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX}, 11},
        {"duplicates", {A, A, F, F}, {SOURCE_FLATBED, SOURCE_ADF, SOURCE_ADF}, 26},
        {"unknown_unit", {static_cast<ScannerUnit>(7), D}, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX}, 11},
    };
}

class SourceList : public ::testing::TestWithParam<SourceCase> {};

TEST_P(SourceList, FollowsTheCapabilityUnits) {
    const SourceCase& c = GetParam();
    Table table(capability_600(c.units));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const char** list = table->source_list;
    ASSERT_NE(list, nullptr);
    std::vector<const char*> got;
    for (size_t i = 0; list[i] != nullptr; ++i) {
        got.push_back(list[i]);
    }
    // Pointer equality: the list holds the shared strings, not copies.
    EXPECT_EQ(got, c.sources);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].size, c.size);
    EXPECT_EQ(table->slots[OPT_SOURCE].string, SOURCE_FLATBED);
    EXPECT_EQ(table->capability.scanner_units, c.units);
}

INSTANTIATE_TEST_SUITE_P(Units, SourceList, ::testing::ValuesIn(source_cases()),
                         [](const ::testing::TestParamInfo<SourceCase>& info) { return info.param.label; });

TEST(SourceStrings, Texts) {
    EXPECT_STREQ(SOURCE_FLATBED, "Flatbed");
    EXPECT_STREQ(SOURCE_ADF, "Automatic Document Feeder");
    EXPECT_STREQ(SOURCE_ADF_DUPLEX, "ADF Duplex");
}

// ------------------------------------------------------------ append_string

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
        EXPECT_EQ(list[i], texts[i]);
        EXPECT_EQ(list[i + 1], nullptr);
    }
    EXPECT_EQ(list[0], texts[0]);
    EXPECT_EQ(list[1], texts[1]);
    std::free(static_cast<void*>(list));
}

TEST(AppendString, WithoutAnOutputAddressChangesNothing) {
    const char** list = nullptr;
    const char** out = nullptr;
    ASSERT_EQ(append_string("one", nullptr, 0, &out), 1u);
    list = out;
    EXPECT_EQ(append_string("two", list, 1, nullptr), 1u);
    EXPECT_EQ(list[0], std::string("one"));
    EXPECT_EQ(list[1], nullptr);
    std::free(static_cast<void*>(list));
}

// An append that fails on chosen calls and succeeds otherwise.
uint32_t g_append_calls = 0;
uint32_t g_failing_calls_mask = 0;  // bit n: call n fails

uint32_t flaky_append(const char* string, const char** list, uint32_t count, const char*** out) {
    const uint32_t call = g_append_calls++;
    if ((g_failing_calls_mask >> call) & 1u) {
        return count;
    }
    return append_string(string, list, count, out);
}

struct FlakyCase {
    const char* label;
    uint32_t failing_calls_mask;
    std::vector<const char*> sources;
};

class SourceListWithFailingAppends : public ::testing::TestWithParam<FlakyCase> {};

TEST_P(SourceListWithFailingAppends, LeavesOutOnlyTheFailedEntries) {
    const FlakyCase& c = GetParam();
    g_append_calls = 0;
    g_failing_calls_mask = c.failing_calls_mask;
    const char** list = build_source_list(
        capability_600({SCANNER_UNIT_ADF, SCANNER_UNIT_ADF_DUPLEX, SCANNER_UNIT_ADF}), flaky_append);
    EXPECT_EQ(g_append_calls, 4u);
    std::vector<const char*> got;
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
        got.push_back(list[i]);
    }
    EXPECT_EQ(got, c.sources);
    EXPECT_EQ(list == nullptr, c.sources.empty());
    std::free(static_cast<void*>(list));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SourceListWithFailingAppends,
    ::testing::Values(FlakyCase{"none", 0b0000, {SOURCE_FLATBED, SOURCE_ADF, SOURCE_ADF_DUPLEX, SOURCE_ADF}},
                      FlakyCase{"second", 0b0010, {SOURCE_FLATBED, SOURCE_ADF_DUPLEX, SOURCE_ADF}},
                      FlakyCase{"first", 0b0001, {SOURCE_ADF, SOURCE_ADF_DUPLEX, SOURCE_ADF}},
                      FlakyCase{"last_two", 0b1100, {SOURCE_FLATBED, SOURCE_ADF}},
                      FlakyCase{"all", 0b1111, {}}),
    [](const ::testing::TestParamInfo<FlakyCase>& info) { return info.param.label; });

// A table whose source list could not hold a single entry: the source option
// has size 0, no list and no value, and nothing else breaks.
TEST(EmptySourceList, LeavesASourceOptionWithoutValue) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    std::free(static_cast<void*>(table->source_list));
    attach_source_list(table.get(), nullptr);

    EXPECT_EQ(table->source_list, nullptr);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].size, 0);
    EXPECT_EQ(table->descriptors[OPT_SOURCE].constraint.string_list, nullptr);
    EXPECT_EQ(table->slots[OPT_SOURCE].string, nullptr);

    char buffer[8] = "keep";
    EXPECT_EQ(get_option_value(table.get(), OPT_SOURCE, buffer), SANE_STATUS_GOOD);
    EXPECT_STREQ(buffer, "keep");  // size 0: nothing is copied

    char flatbed[] = "Flatbed";
    SANE_Int info = 0;
    EXPECT_EQ(set_option_value(table.get(), OPT_SOURCE, flatbed, &info), SANE_STATUS_INVAL);
    EXPECT_EQ(info, 0);

    // Without a source value the geometry is the flatbed's.
    apply_source_geometry(table.get());
    EXPECT_EQ(table->ranges[2].max, 14149222);
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);
    ScanParameter parameter{};
    EXPECT_EQ(make_scan_parameter(table.get(), &parameter), SANE_STATUS_GOOD);
    EXPECT_EQ(parameter.original_placement, 0u);
    EXPECT_EQ(parameter.input_width, 5100u);
}

// ------------------------------------------------------------ ranges and area

TEST(OptionTable, RangesAndAreaOfTheFlatbed) {
    Table table(capability_600());
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    const SANE_Range expected[4] = {
        {0, 13971663, 0}, {0, 19281783, 0}, {177558, 14149222, 0}, {177558, 19459342, 0}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(table->ranges[i].min, expected[i].min) << "range " << i;
        EXPECT_EQ(table->ranges[i].max, expected[i].max) << "range " << i;
        EXPECT_EQ(table->ranges[i].quant, 0) << "range " << i;
    }
    EXPECT_EQ(table->slots[OPT_TL_X].word, 0);
    EXPECT_EQ(table->slots[OPT_TL_Y].word, 0);
    EXPECT_EQ(table->slots[OPT_BR_X].word, 14149222);
    EXPECT_EQ(table->slots[OPT_BR_Y].word, 19459342);
}

TEST(OptionTable, FlatbedNotFeederSizesAtCreation) {
    // Feeder sizes differ from the flatbed's: the first source decides.
    DeviceCapability cap = capability_600({SCANNER_UNIT_ADF});
    cap.adf_max_Width = 4000;
    cap.adf_max_height = 9000;
    Table table(cap);
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    EXPECT_EQ(table->ranges[2].max, 14149222);
    EXPECT_EQ(table->ranges[3].max, 19459342);
}

TEST(OptionTable, BaseResolutionZeroGivesEmptyRanges) {
    DeviceCapability cap = capability_600();
    cap.basic_resolution = 0;
    Table table(cap);
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(table->ranges[i].min, 0) << "range " << i;
        EXPECT_EQ(table->ranges[i].max, 0) << "range " << i;
        EXPECT_EQ(table->ranges[i].quant, 0) << "range " << i;
        EXPECT_EQ(table->slots[OPT_TL_X + i].word, 0) << "area option " << i;
    }
}

// ------------------------------------------------------------ initial values

TEST(OptionTable, InitialValues) {
    Table table(capability_600({SCANNER_UNIT_ADF}));
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);

    SANE_Word count = -1;
    EXPECT_EQ(get_option_value(table.get(), OPT_NUM_OPTIONS, &count), SANE_STATUS_GOOD);
    EXPECT_EQ(count, 10);

    char mode[16];
    std::memset(mode, 'x', sizeof mode);
    EXPECT_EQ(get_option_value(table.get(), OPT_MODE, mode), SANE_STATUS_GOOD);
    EXPECT_STREQ(mode, "Color");
    EXPECT_EQ(table->slots[OPT_MODE].string, MODE_LIST[1]);

    char source[32];
    EXPECT_EQ(get_option_value(table.get(), OPT_SOURCE, source), SANE_STATUS_GOOD);
    EXPECT_STREQ(source, "Flatbed");

    SANE_Word resolution = -1;
    EXPECT_EQ(get_option_value(table.get(), OPT_RESOLUTION, &resolution), SANE_STATUS_GOOD);
    EXPECT_EQ(resolution, 75);

    // Inactive and false while the source is the flatbed, even with a feeder.
    EXPECT_EQ(table->descriptors[OPT_CENTER_SCAN].cap, SANE_CAP_INACTIVE);
    SANE_Word center = -1;
    EXPECT_EQ(get_option_value(table.get(), OPT_CENTER_SCAN, &center), SANE_STATUS_GOOD);
    EXPECT_EQ(center, SANE_FALSE);
}

TEST(OptionTable, CapabilityIsCopied) {
    DeviceCapability cap = capability_600({SCANNER_UNIT_ADF_DUPLEX});
    cap.flatbed_original_alignment = 3;
    cap.black_text_support = 1;
    Table table(cap);
    ASSERT_EQ(table.status(), SANE_STATUS_GOOD);
    cap.basic_resolution = 1;
    cap.scanner_units.clear();
    EXPECT_EQ(table->capability.basic_resolution, 600u);
    EXPECT_EQ(table->capability.adf_max_height, 8400u);
    EXPECT_EQ(table->capability.flatbed_original_alignment, 3u);
    EXPECT_EQ(table->capability.black_text_support, 1u);
    EXPECT_EQ(table->capability.scanner_units, std::vector<ScannerUnit>{SCANNER_UNIT_ADF_DUPLEX});
}

TEST(FreeDeviceOptions, ClearsTheField) {
    DeviceOptions* options = nullptr;
    ASSERT_EQ(create_device_options(capability_600({SCANNER_UNIT_ADF}), &options), SANE_STATUS_GOOD);
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(free_device_options(&options), 0);
    EXPECT_EQ(options, nullptr);
}

}  // namespace
