// The option table of one open handle: its descriptors, its values, the
// scan-area ranges and the list of scan sources the device offers.
#include "options/options.h"
#include "options/option_table_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

const char* const SOURCE_FLATBED = "Flatbed";
const char* const SOURCE_ADF = "Automatic Document Feeder";
const char* const SOURCE_ADF_DUPLEX = "ADF Duplex";
const SANE_String_Const MODE_LIST[] = {"Gray", "Color", nullptr};
const SANE_Word RESOLUTION_LIST[] = {7, 75, 100, 125, 150, 175, 200, 300};

namespace {

// Everything about an option that does not depend on the device. The
// descriptors and slot flags are built from these records alone.
struct OptionRecord {
    const char* name;
    const char* title;
    const char* desc;
    SANE_Value_Type type;
    SANE_Unit unit;
    SANE_Int cap;
    SANE_Constraint_Type constraint_type;
    uint32_t flags;
};

constexpr SANE_Int CAP_SOFT = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
constexpr uint32_t AREA_FLAGS = SLOT_ADJUSTABLE | SLOT_GEOMETRY | SLOT_RELOAD_PARAMS;
constexpr uint32_t PARAM_FLAGS = SLOT_ADJUSTABLE | SLOT_RELOAD_PARAMS;

constexpr OptionRecord OPTION_RECORDS[NUM_OPTIONS] = {
    {"", "Number of options",
     "Read-only option that specifies how many options a specific devices supports.", SANE_TYPE_INT,
     SANE_UNIT_NONE, SANE_CAP_SOFT_DETECT, SANE_CONSTRAINT_NONE, 0},
    {"source", "Scan source", "Selects the scan source (such as a document-feeder).", SANE_TYPE_STRING,
     SANE_UNIT_NONE, CAP_SOFT, SANE_CONSTRAINT_STRING_LIST, AREA_FLAGS},
    {"mode", "Scan mode", "Selects the scan mode (e.g., lineart, monochrome, or color).", SANE_TYPE_STRING,
     SANE_UNIT_NONE, CAP_SOFT, SANE_CONSTRAINT_STRING_LIST, PARAM_FLAGS},
    {"resolution", "Scan resolution", "Sets the resolution of the scanned image.", SANE_TYPE_INT,
     SANE_UNIT_DPI, CAP_SOFT, SANE_CONSTRAINT_WORD_LIST, PARAM_FLAGS},
    {"geometry", "Geometry", "Scan area and media size options", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0,
     SANE_CONSTRAINT_NONE, 0},
    {"tl-x", "Top-left x", "Top-left x position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, CAP_SOFT,
     SANE_CONSTRAINT_RANGE, AREA_FLAGS},
    {"tl-y", "Top-left y", "Top-left y position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM, CAP_SOFT,
     SANE_CONSTRAINT_RANGE, AREA_FLAGS},
    {"br-x", "Bottom-right x", "Bottom-right x position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM,
     CAP_SOFT, SANE_CONSTRAINT_RANGE, AREA_FLAGS},
    {"br-y", "Bottom-right y", "Bottom-right y position of scan area.", SANE_TYPE_FIXED, SANE_UNIT_MM,
     CAP_SOFT, SANE_CONSTRAINT_RANGE, AREA_FLAGS},
    {"set-center-scan", "Correct X coordinates to center of feeder",
     "Correct the X coordinates to values that assume the documents are placed in the center of the feeder.",
     SANE_TYPE_BOOL, SANE_UNIT_NONE, CAP_SOFT, SANE_CONSTRAINT_NONE, 0},
};

// The size a STRING option needs to hold the longest entry of its list.
SANE_Int string_list_size(const SANE_String_Const* list) {
    size_t longest = 0;
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
        longest = std::max(longest, std::strlen(list[i]) + 1);
    }
    return static_cast<SANE_Int>(longest);
}

}  // namespace

const char** build_source_list(const DeviceCapability& capability, AppendStringFn append) {
    const char** list = nullptr;
    uint32_t count = 0;
    auto add = [&](const char* source) {
        const char** grown = nullptr;
        count = append(source, list, count, &grown);
        if (grown != nullptr) {
            list = grown;
        }
    };
    add(SOURCE_FLATBED);
    for (ScannerUnit unit : capability.scanner_units) {
        if (unit == SCANNER_UNIT_ADF) {
            add(SOURCE_ADF);
        } else if (unit == SCANNER_UNIT_ADF_DUPLEX) {
            add(SOURCE_ADF_DUPLEX);
        }
    }
    return list;
}

void attach_source_list(DeviceOptions* options, const char** list) {
    // An entry that could not be stored was left out; with no entry at all
    // the source option has no list and no value, and every set of it is
    // refused.
    options->source_list = list;
    SANE_Option_Descriptor& source = options->descriptors[OPT_SOURCE];
    source.size = string_list_size(list);
    source.constraint.string_list = list;
    options->slots[OPT_SOURCE].string = list != nullptr ? list[0] : nullptr;
}

uint32_t append_string(const char* string, const char** list, uint32_t count, const char*** out) {
    if (out == nullptr) {
        return count;
    }
    void* grown = std::realloc(static_cast<void*>(list), (static_cast<size_t>(count) + 2) * sizeof(const char*));
    if (grown == nullptr) {
        return count;
    }
    const char** entries = static_cast<const char**>(grown);
    entries[count] = string;
    entries[count + 1] = nullptr;
    *out = entries;
    return count + 1;
}

void apply_source_geometry(DeviceOptions* options) {
    const DeviceCapability& cap = options->capability;
    const char* source = options->slots[OPT_SOURCE].string;
    const bool feeder = source == SOURCE_ADF || source == SOURCE_ADF_DUPLEX;

    const uint32_t r = cap.basic_resolution;
    const uint32_t min_w = feeder ? cap.adf_min_Width : cap.flatbed_min_width;
    const uint32_t max_w = feeder ? cap.adf_max_Width : cap.flatbed_max_width;
    const uint32_t min_h = feeder ? cap.adf_min_height : cap.flatbed_min_height;
    const uint32_t max_h = feeder ? cap.adf_max_height : cap.flatbed_max_height;

    SANE_Range* ranges = options->ranges;
    if (r == 0) {
        for (SANE_Range& range : options->ranges) {
            range = SANE_Range{0, 0, 0};
        }
    } else {
        // The differences wrap like the device's own unsigned sizes would.
        ranges[0] = SANE_Range{0, pixels_to_fixed_mm(max_w - min_w, r), 0};
        ranges[1] = SANE_Range{0, pixels_to_fixed_mm(max_h - min_h, r), 0};
        ranges[2] = SANE_Range{pixels_to_fixed_mm(min_w, r), pixels_to_fixed_mm(max_w, r), 0};
        ranges[3] = SANE_Range{pixels_to_fixed_mm(min_h, r), pixels_to_fixed_mm(max_h, r), 0};
    }

    // A new source always starts from its whole area.
    options->slots[OPT_TL_X].word = 0;
    options->slots[OPT_TL_Y].word = 0;
    options->slots[OPT_BR_X].word = ranges[2].max;
    options->slots[OPT_BR_Y].word = ranges[3].max;

    // Centring only means something in a feeder.
    options->descriptors[OPT_CENTER_SCAN].cap = feeder ? CAP_SOFT : SANE_CAP_INACTIVE;
    options->slots[OPT_CENTER_SCAN].word = feeder ? SANE_TRUE : SANE_FALSE;

    for (int i = 0; i < 4; ++i) {
        options->descriptors[OPT_TL_X + i].constraint.range = &ranges[i];
    }
}

SANE_Status create_device_options(const DeviceCapability& capability, DeviceOptions** out) {
    DeviceOptions* options = new (std::nothrow) DeviceOptions{};
    if (options == nullptr) {
        return SANE_STATUS_NO_MEM;
    }
    options->capability = capability;

    for (int i = 0; i < NUM_OPTIONS; ++i) {
        const OptionRecord& record = OPTION_RECORDS[i];
        SANE_Option_Descriptor& d = options->descriptors[i];
        d.name = record.name;
        d.title = record.title;
        d.desc = record.desc;
        d.type = record.type;
        d.unit = record.unit;
        d.size = (record.type == SANE_TYPE_GROUP || record.type == SANE_TYPE_STRING)
                     ? 0
                     : static_cast<SANE_Int>(sizeof(SANE_Word));
        d.cap = record.cap;
        d.constraint_type = record.constraint_type;
        d.constraint.string_list = nullptr;
        options->slots[i].flags = record.flags;
    }

    options->slots[OPT_NUM_OPTIONS].word = NUM_OPTIONS;

    attach_source_list(options, build_source_list(capability, append_string));

    SANE_Option_Descriptor& mode = options->descriptors[OPT_MODE];
    mode.size = string_list_size(MODE_LIST);
    mode.constraint.string_list = MODE_LIST;
    options->slots[OPT_MODE].string = MODE_LIST[1];

    options->descriptors[OPT_RESOLUTION].constraint.word_list = RESOLUTION_LIST;
    options->slots[OPT_RESOLUTION].word = RESOLUTION_LIST[1];

    for (int i = 0; i < 4; ++i) {
        options->descriptors[OPT_TL_X + i].constraint.range = &options->ranges[i];
    }

    options->slots[OPT_CENTER_SCAN].word = SANE_FALSE;

    apply_source_geometry(options);

    *out = options;
    return SANE_STATUS_GOOD;
}

int free_device_options(DeviceOptions** options) {
    if (options == nullptr || *options == nullptr) {
        return 0;
    }
    std::free(static_cast<void*>((*options)->source_list));
    delete *options;
    *options = nullptr;
    return 0;
}

const SANE_Option_Descriptor* get_option_descriptor(const DeviceOptions* options, SANE_Int option) {
    if (options == nullptr || static_cast<uint32_t>(option) >= NUM_OPTIONS) {
        return nullptr;
    }
    return &options->descriptors[option];
}
