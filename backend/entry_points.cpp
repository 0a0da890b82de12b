// The thirteen SANE entry points: argument checks, then one forwarding call.
// Each exported function only hands its body to the trace (call_trace.h),
// which records the call when KELVRA_TRACE asks for it.
#include <cstdlib>

#include "backend/backend.h"
#include "backend/call_trace.h"
#include "backend/entry_points.h"
#include "debug/diagnostics.h"
#include "scan/scan.h"

#define SANE_KELVRA_EXPORT extern "C" KELVRA_EXPORT

extern "C" void* __dso_handle;
extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso);

namespace {

void free_device_list_at_exit(void*) { free_device_list(); }

SANE_Status init_call(SANE_Int* version_code, SANE_Auth_Callback /*authorize*/) {
    if (version_code == nullptr) return SANE_STATUS_INVAL;
    // What atexit does inside a shared library, spelled out: the routine is
    // registered for this library, so it also runs when a meta-backend
    // unloads it. Some runtimes' atexit (ThreadSanitizer's) forgets the
    // library and would call into unmapped code at process exit.
    __cxa_atexit(free_device_list_at_exit, nullptr, &__dso_handle);
    *version_code = SANE_VERSION_CODE(1, 0, 0);
    return SANE_STATUS_GOOD;
}

// Handles still open are closed first, so that the library may be unloaded
// at once; then the device list and its cache go.
void exit_call() {
    close_all_devices();
    free_device_list();
}

SANE_Status get_devices_call(const SANE_Device*** device_list, SANE_Bool local_only) {
    if (device_list == nullptr) return SANE_STATUS_INVAL;
    return get_devices(device_list, local_only);
}

SANE_Status open_call(SANE_String_Const devicename, SANE_Handle* handle) {
    if (handle == nullptr || devicename == nullptr) return SANE_STATUS_INVAL;
    device_t* opened = nullptr;
    SANE_Status status = open_device(devicename, &opened);
    if (status == SANE_STATUS_GOOD) *handle = opened;
    return status;
}

void close_call(SANE_Handle handle) {
    if (handle == nullptr) return;
    close_device(static_cast<device_t*>(handle));
}

const SANE_Option_Descriptor* get_option_descriptor_call(SANE_Handle handle, SANE_Int option) {
    if (handle == nullptr) return nullptr;
    return get_device_option(static_cast<device_t*>(handle), option);
}

SANE_Status control_option_call(SANE_Handle handle, SANE_Int option, SANE_Action action, void* value, SANE_Int* info) {
    if (handle == nullptr) return SANE_STATUS_INVAL;
    return control_device_option(static_cast<device_t*>(handle), option, action, value, info);
}

SANE_Status get_parameters_call(SANE_Handle handle, SANE_Parameters* params) {
    if (params == nullptr || handle == nullptr) return SANE_STATUS_INVAL;
    return get_scan_parameters(static_cast<device_t*>(handle), params);
}

SANE_Status start_call(SANE_Handle handle) {
    if (handle == nullptr) return SANE_STATUS_INVAL;
    return start_scan(static_cast<device_t*>(handle));
}

SANE_Status read_call(SANE_Handle handle, SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
    if (data == nullptr || handle == nullptr || length == nullptr) return SANE_STATUS_INVAL;
    SANE_Int count = max_length;
    SANE_Status status = read_image(static_cast<device_t*>(handle), data, &count);
    *length = count;
    return status;
}

void cancel_call(SANE_Handle handle) {
    if (handle == nullptr) return;
    cancel_scan(static_cast<device_t*>(handle));
}

// Only blocking reads: the select descriptor serves frontends that poll.
SANE_Status set_io_mode_call(SANE_Handle handle, SANE_Bool non_blocking) {
    if (non_blocking) return SANE_STATUS_UNSUPPORTED;
    return handle == nullptr ? SANE_STATUS_INVAL : SANE_STATUS_GOOD;
}

SANE_Status get_select_fd_call(SANE_Handle handle, SANE_Int* fd) {
    if (handle == nullptr || fd == nullptr) return SANE_STATUS_INVAL;
    *fd = static_cast<device_t*>(handle)->pipe_read_fd;
    return *fd == -1 ? SANE_STATUS_INVAL : SANE_STATUS_GOOD;
}

}  // namespace

using namespace kelvra::call_trace;

// A trace session runs from init to exit (the environment is read afresh).
SANE_KELVRA_EXPORT SANE_Status sane_kelvra_init(SANE_Int* version_code, SANE_Auth_Callback authorize) {
    kelvra::trace::restart();
    return traced<Init>(init_call, version_code, authorize);
}

SANE_KELVRA_EXPORT void sane_kelvra_exit(void) {
    traced<Exit>(exit_call);
    kelvra::trace::stop();
}

SANE_KELVRA_EXPORT SANE_Status sane_kelvra_get_devices(const SANE_Device*** device_list, SANE_Bool local_only) {
    return traced<GetDevices>(get_devices_call, device_list, local_only);
}

SANE_KELVRA_EXPORT SANE_Status sane_kelvra_open(SANE_String_Const devicename, SANE_Handle* handle) {
    return traced<Open>(open_call, devicename, handle);
}

SANE_KELVRA_EXPORT void sane_kelvra_close(SANE_Handle handle) { traced<Close>(close_call, handle); }

SANE_KELVRA_EXPORT const SANE_Option_Descriptor* sane_kelvra_get_option_descriptor(SANE_Handle handle,
                                                                                   SANE_Int option) {
    return traced<GetOptionDescriptor>(get_option_descriptor_call, handle, option);
}

SANE_KELVRA_EXPORT SANE_Status sane_kelvra_control_option(SANE_Handle handle, SANE_Int option, SANE_Action action,
                                                          void* value, SANE_Int* info) {
    return traced<ControlOption>(control_option_call, handle, option, action, value, info);
}

SANE_KELVRA_EXPORT SANE_Status sane_kelvra_get_parameters(SANE_Handle handle, SANE_Parameters* params) {
    return traced<GetParameters>(get_parameters_call, handle, params);
}

SANE_KELVRA_EXPORT SANE_Status sane_kelvra_start(SANE_Handle handle) { return traced<Start>(start_call, handle); }

SANE_KELVRA_EXPORT SANE_Status sane_kelvra_read(SANE_Handle handle, SANE_Byte* data, SANE_Int max_length,
                                                SANE_Int* length) {
    return traced<Read>(read_call, handle, data, max_length, length);
}

SANE_KELVRA_EXPORT void sane_kelvra_cancel(SANE_Handle handle) { traced<Cancel>(cancel_call, handle); }

SANE_KELVRA_EXPORT SANE_Status sane_kelvra_set_io_mode(SANE_Handle handle, SANE_Bool non_blocking) {
    return traced<SetIoMode>(set_io_mode_call, handle, non_blocking);
}

SANE_KELVRA_EXPORT SANE_Status sane_kelvra_get_select_fd(SANE_Handle handle, SANE_Int* fd) {
    return traced<GetSelectFd>(get_select_fd_call, handle, fd);
}
