// Placeholder until this part is written.
#include "options/options.h"

SANE_Status make_scan_parameter(const DeviceOptions*, ScanParameter*) { return SANE_STATUS_UNSUPPORTED; }
