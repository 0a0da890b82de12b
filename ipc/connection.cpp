// Placeholder until this part is written.
#include "ipc/ipc.h"

SANE_Status ipc_open(ipc_t**) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status ipc_close(ipc_t*) { return SANE_STATUS_UNSUPPORTED; }
