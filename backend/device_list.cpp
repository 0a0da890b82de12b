// Placeholder until this part is written.
#include "backend/backend.h"

SANE_Device** g_device_list = nullptr;
std::vector<DeviceInfo> g_device_infos;
SANE_Status get_devices(const SANE_Device***, SANE_Bool) { return SANE_STATUS_UNSUPPORTED; }
void free_device_list() {}
