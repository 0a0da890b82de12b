// The device list: asks a scan-manager of its own which devices it reaches at
// the configured hosts and on USB, and keeps them for the frontend and for open.
#include <cstdlib>
#include <cstring>

#include "backend/backend.h"
#include "platform/build_paths.h"

SANE_Device** g_device_list = nullptr;
std::vector<DeviceInfo> g_device_infos;

namespace {

// Allocates the frontend's array and its records; on NO_MEM what was built so
// far stays in g_device_list for free_device_list to release.
SANE_Status build_device_array(const std::vector<DeviceInfo>& devices) {
    g_device_list = static_cast<SANE_Device**>(calloc(devices.size() + 1, sizeof(SANE_Device*)));
    if (g_device_list == nullptr) return SANE_STATUS_NO_MEM;
    for (size_t i = 0; i < devices.size(); ++i) {
        auto* device = static_cast<SANE_Device*>(calloc(1, sizeof(SANE_Device)));
        if (device == nullptr) return SANE_STATUS_NO_MEM;
        device->name = strdup(devices[i].name.c_str());
        device->vendor = strdup(devices[i].vendor.c_str());
        device->model = strdup(devices[i].model.c_str());
        device->type = strdup(devices[i].type.c_str());
        g_device_list[i] = device;
    }
    return SANE_STATUS_GOOD;
}

SANE_Status discover(ipc_t* ipc, std::vector<DeviceInfo>& devices) {
    SANE_Status status;
    {
        const std::vector<DiscoveryInfo> hosts = read_config_hosts(kelvra::kConfigPath);
        status = send_discovery(ipc, hosts);
    }
    if (status != SANE_STATUS_GOOD) return status;
    status = receive_devices(ipc, devices);
    if (status != SANE_STATUS_GOOD) return status;
    status = build_device_array(devices);
    if (status != SANE_STATUS_GOOD) return status;
    g_device_infos.insert(g_device_infos.end(), devices.begin(), devices.end());
    return SANE_STATUS_GOOD;
}

}  // namespace

SANE_Status get_devices(const SANE_Device*** device_list, SANE_Bool /*local_only*/) {
    if (device_list == nullptr) return SANE_STATUS_INVAL;
    free_device_list();

    ipc_t* ipc = nullptr;
    std::vector<DeviceInfo> devices;
    SANE_Status status = ipc_open(&ipc);
    if (status == SANE_STATUS_GOOD) status = discover(ipc, devices);

    // The scan-manager lives only for this call, whatever happened.
    ipc_close(ipc);
    *device_list = const_cast<const SANE_Device**>(g_device_list);
    return status;
}

void free_device_list() {
    if (g_device_list != nullptr) {
        for (SANE_Device** entry = g_device_list; *entry != nullptr; ++entry) {
            free(const_cast<char*>((*entry)->name));
            free(const_cast<char*>((*entry)->vendor));
            free(const_cast<char*>((*entry)->model));
            free(const_cast<char*>((*entry)->type));
            free(*entry);
        }
        free(g_device_list);
        g_device_list = nullptr;
    }
    g_device_infos.clear();
}
