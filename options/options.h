// The option table of one open handle: the ten SANE options, their values and
// constraints, and the conversion of the chosen scan area into scan parameters.
#pragma once

#include <sane/sane.h>

#include <cstdint>

#include "ipc/ipc.h"

enum {
    OPT_NUM_OPTIONS = 0,
    OPT_SOURCE = 1,
    OPT_MODE = 2,
    OPT_RESOLUTION = 3,
    OPT_GEOMETRY_GROUP = 4,
    OPT_TL_X = 5,
    OPT_TL_Y = 6,
    OPT_BR_X = 7,
    OPT_BR_Y = 8,
    OPT_CENTER_SCAN = 9,
    NUM_OPTIONS = 10,
};

enum : uint32_t {
    SLOT_ADJUSTABLE = 1,     // a set may replace a refused value by the nearest one
    SLOT_GEOMETRY = 2,       // a set runs the scan-area follow-up
    SLOT_RELOAD_PARAMS = 4,  // a set reports SANE_INFO_RELOAD_PARAMS
};

// The value of one option: `word` for BOOL, INT and FIXED options, `string`
// for STRING options (a shared constant, never owned by the table).
struct OptionSlot {
    uint32_t flags;
    SANE_Word word;
    const char* string;
};

extern const char* const SOURCE_FLATBED;     // "Flatbed"
extern const char* const SOURCE_ADF;         // "Automatic Document Feeder"
extern const char* const SOURCE_ADF_DUPLEX;  // "ADF Duplex"
extern const SANE_String_Const MODE_LIST[];  // "Gray", "Color", NULL
extern const SANE_Word RESOLUTION_LIST[];    // 7, then 75 ... 300

struct DeviceOptions {
    DeviceCapability capability;
    SANE_Option_Descriptor descriptors[NUM_OPTIONS];
    OptionSlot slots[NUM_OPTIONS];
    SANE_Range ranges[4];        // tl-x, tl-y, br-x, br-y
    const char** source_list;    // NULL-terminated, realloc'ed; entries are the shared strings
};

// Option table (option_table.cpp)
SANE_Status create_device_options(const DeviceCapability& capability, DeviceOptions** out);
int free_device_options(DeviceOptions** options);
const SANE_Option_Descriptor* get_option_descriptor(const DeviceOptions* options, SANE_Int option);
uint32_t append_string(const char* string, const char** list, uint32_t count, const char*** out);
void apply_source_geometry(DeviceOptions* options);

// Unit conversions (units.cpp)
SANE_Fixed pixels_to_fixed_mm(uint32_t pixels, uint32_t resolution);
int32_t fixed_mm_to_pixels(SANE_Fixed value, uint32_t resolution);

// Option access (option_access.cpp)
// One SANE control request on the table: set, get, or refuse an automatic value.
SANE_Status control_option(DeviceOptions* options, SANE_Int option, SANE_Action action, void* value,
                           SANE_Int* info);
SANE_Status get_option_value(DeviceOptions* options, SANE_Int option, void* value);
SANE_Status set_option_value(DeviceOptions* options, SANE_Int option, void* value, SANE_Int* info);
void update_dependent_options(DeviceOptions* options, SANE_Int option, SANE_Int* info);

// Scan parameters (scan_parameters.cpp)
SANE_Status make_scan_parameter(const DeviceOptions* options, ScanParameter* parameter);
