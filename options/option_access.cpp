// Placeholder until this part is written.
#include "options/options.h"

SANE_Status control_device_option(device_t*, SANE_Int, SANE_Action, void*, SANE_Int*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status get_option_value(DeviceOptions*, SANE_Int, void*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status set_option_value(DeviceOptions*, SANE_Int, void*, SANE_Int*) { return SANE_STATUS_UNSUPPORTED; }
void update_dependent_options(DeviceOptions*, SANE_Int, SANE_Int*) {}
