// Placeholder until this part is written.
#include "ipc/ipc.h"

SANE_Status ipc_write(ipc_t*, const void*, size_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status ipc_read(ipc_t*, void*, size_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_header(ipc_t*, ipc_header_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_payload(ipc_t*, const ipc_header_t*, ipc_payload_t*) { return SANE_STATUS_UNSUPPORTED; }
void free_payload(ipc_payload_t*) {}
SANE_Status send_close_device(ipc_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status send_start_scan(ipc_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status send_end_scan(ipc_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status send_read_request(ipc_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_close_ack(ipc_t*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_end_ack(ipc_t*) { return SANE_STATUS_UNSUPPORTED; }
