// Open device handles: each owns its scan-manager, connection, option table,
// image pipe and reader thread.
#include <algorithm>
#include <cstring>
#include <new>

#include "backend/backend.h"
#include "scan/scan.h"

std::vector<device_t*> g_open_devices;

SANE_Status open_device(const char* name, device_t** handle) {
    if (name == nullptr || handle == nullptr) return SANE_STATUS_INVAL;

    if (g_device_list == nullptr) {
        const SANE_Device** unused = nullptr;
        SANE_Status status = get_devices(&unused, SANE_FALSE);
        if (status != SANE_STATUS_GOOD) return status;
    }

    const DeviceInfo* entry = nullptr;
    for (const DeviceInfo& info : g_device_infos) {
        if (info.name == name) {
            entry = &info;
            break;
        }
    }
    if (entry == nullptr) return SANE_STATUS_INVAL;

    device_t* device = new (std::nothrow) device_t;
    if (device == nullptr) return SANE_STATUS_NO_MEM;
    device->info = *entry;

    DeviceCapability capability;
    SANE_Status status = ipc_open(&device->ipc);
    if (status == SANE_STATUS_GOOD) status = send_open_device(device->ipc, &device->info);
    if (status == SANE_STATUS_GOOD) status = receive_capability(device->ipc, &capability);
    if (status == SANE_STATUS_GOOD) status = create_device_options(capability, &device->options);
    if (status != SANE_STATUS_GOOD) {
        release_device(device);
        delete device;
        return status;
    }

    g_open_devices.push_back(device);
    *handle = device;
    return SANE_STATUS_GOOD;
}

namespace {

// The SANE standard has close cancel an active device first. Stopping the
// page's reader thread the way cancel does also gives the close exchange the
// connection to itself, and a thread stuck on a pipe nobody reads can never
// hold the close up. The caller holds a FrontendCall.
SANE_Status close_exchange(device_t* handle) {
    if (handle->thread_running) stop_scan(handle);
    SANE_Status status = send_close_device(handle->ipc);
    if (status != SANE_STATUS_GOOD) return status;
    return receive_close_ack(handle->ipc);
}

void free_handle(device_t* handle) {
    release_device(handle);
    delete handle;
}

}  // namespace

SANE_Status close_device(device_t* handle) {
    if (handle == nullptr) return SANE_STATUS_INVAL;
    FrontendCall call;

    // A pointer that is not registered (closed already, or never ours) is not
    // looked into at all: a second close of the same handle must not touch
    // freed memory.
    auto entry = std::find(g_open_devices.begin(), g_open_devices.end(), handle);
    if (entry == g_open_devices.end()) return SANE_STATUS_GOOD;

    SANE_Status status = close_exchange(handle);
    if (status != SANE_STATUS_GOOD) return status;

    free_handle(handle);
    g_open_devices.erase(std::find(g_open_devices.begin(), g_open_devices.end(), handle));
    return SANE_STATUS_GOOD;
}

void close_all_devices() {
    FrontendCall call;
    // The SANE standard has exit close what is still open. The process is
    // leaving SANE, and a meta-backend may unload the library right after:
    // each handle is released whatever its close exchange gives, so that no
    // reader thread, scan-manager or socket outlives this call.
    for (device_t* handle : g_open_devices) {
        close_exchange(handle);
        free_handle(handle);
    }
    g_open_devices.clear();
}

void release_device(device_t* handle) {
    release_scan(handle);
    if (handle->ipc != nullptr) {
        ipc_close(handle->ipc);
        handle->ipc = nullptr;
    }
    if (handle->options != nullptr) free_device_options(&handle->options);
}

const SANE_Option_Descriptor* get_device_option(device_t* handle, SANE_Int option) {
    if (handle == nullptr || handle->options == nullptr) return nullptr;
    return get_option_descriptor(handle->options, option);
}

SANE_Status control_device_option(device_t* handle, SANE_Int option, SANE_Action action, void* value,
                                  SANE_Int* info) {
    if (handle == nullptr) return SANE_STATUS_INVAL;
    return control_option(handle->options, option, action, value, info);
}
