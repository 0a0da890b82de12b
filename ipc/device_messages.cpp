// Placeholder until this part is written.
#include "ipc/ipc.h"

SANE_Status send_discovery(ipc_t*, const std::vector<DiscoveryInfo>&) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_devices(ipc_t*, std::vector<DeviceInfo>&) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status send_open_device(ipc_t*, const DeviceInfo*) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status receive_capability(ipc_t*, DeviceCapability*) { return SANE_STATUS_UNSUPPORTED; }
