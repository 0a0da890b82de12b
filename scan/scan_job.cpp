// Placeholder until this part is written.
#include "scan/scan.h"

SANE_Status start_scan(device_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status get_scan_parameters(device_t*, SANE_Parameters*) { return SANE_STATUS_UNSUPPORTED; }
