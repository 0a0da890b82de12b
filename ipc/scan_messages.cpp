// Placeholder until this part is written.
#include "ipc/ipc.h"

SANE_Status send_scan_parameter(ipc_t*, const ScanParameter*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_image_info(ipc_t*, ImageInfo*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_scan_status(ipc_t*, int32_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_read_reply(ipc_t*, int, size_t*, const std::atomic<uint8_t>*, uint32_t*, uint64_t) { return SANE_STATUS_UNSUPPORTED; }
