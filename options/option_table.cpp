// Placeholder until this part is written.
#include "options/options.h"

const char* const SOURCE_FLATBED = "Flatbed";
const char* const SOURCE_ADF = "Automatic Document Feeder";
const char* const SOURCE_ADF_DUPLEX = "ADF Duplex";
const SANE_String_Const MODE_LIST[] = {"Gray", "Color", nullptr};
const SANE_Word RESOLUTION_LIST[] = {7, 75, 100, 125, 150, 175, 200, 300};
SANE_Status create_device_options(const DeviceCapability&, DeviceOptions**) { return SANE_STATUS_UNSUPPORTED; }
int free_device_options(DeviceOptions**) { return 0; }
const SANE_Option_Descriptor* get_option_descriptor(const DeviceOptions*, SANE_Int) { return nullptr; }
uint32_t append_string(const char*, const char**, uint32_t count, const char***) { return count; }
void apply_source_geometry(DeviceOptions*) {}
