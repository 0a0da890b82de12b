// Placeholder until this part is written.
#include "scan/scan.h"

SANE_Status read_image(device_t*, SANE_Byte*, SANE_Int*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status cancel_scan(device_t*) { return SANE_STATUS_UNSUPPORTED; }
