// What the trace shows of each entry point's arguments and results (see
// call_trace.h). Only what the call itself would look at is looked at: a
// handle is looked up among the open ones before anything of it is read.
#include "backend/call_trace.h"

#include <algorithm>
#include <cstring>

#include "backend/backend.h"

namespace kelvra::call_trace {
namespace {

// A handle's number in the trace: its connection's, 0 for a pointer that is
// no open handle of ours.
uint32_t handle_number(SANE_Handle handle) {
    const auto open = std::find(g_open_devices.begin(), g_open_devices.end(), static_cast<device_t*>(handle));
    if (open == g_open_devices.end() || (*open)->ipc == nullptr) return 0;
    return (*open)->ipc->trace;
}

void add_handle(Record& record, SANE_Handle handle) {
    if (handle == nullptr) record.add_null("handle");
    else record.add("handle", handle_number(handle));
}

const char* action_name(SANE_Action action) {
    switch (action) {
        case SANE_ACTION_GET_VALUE: return "get";
        case SANE_ACTION_SET_VALUE: return "set";
        case SANE_ACTION_SET_AUTO: return "auto";
    }
    return nullptr;
}

// An option's value as its descriptor types it: a number for words, text
// for strings, nothing for buttons and groups.
void add_value(Record& record, SANE_Handle handle, SANE_Int option, const void* value) {
    if (value == nullptr || handle_number(handle) == 0) return;
    const SANE_Option_Descriptor* descriptor = get_device_option(static_cast<device_t*>(handle), option);
    if (descriptor == nullptr) return;
    switch (descriptor->type) {
        case SANE_TYPE_BOOL:
        case SANE_TYPE_INT:
        case SANE_TYPE_FIXED: record.add("value", int64_t{*static_cast<const SANE_Word*>(value)}); break;
        case SANE_TYPE_STRING: {
            const auto* text = static_cast<const char*>(value);
            record.add("value", std::string_view(text, strnlen(text, size_t(std::max(descriptor->size, 0)))));
            break;
        }
        default: break;
    }
}

}  // namespace

void Init::arguments(Record& record, SANE_Int*, SANE_Auth_Callback authorize) {
    record.add("authorize", authorize != nullptr);
}
void Init::results(Record& record, SANE_Status status, SANE_Int* version_code, SANE_Auth_Callback) {
    if (status == SANE_STATUS_GOOD && version_code != nullptr) record.add("version_code", int64_t{*version_code});
}

void GetDevices::arguments(Record& record, const SANE_Device***, SANE_Bool local_only) {
    record.add("local_only", local_only != SANE_FALSE);
}
void GetDevices::results(Record& record, SANE_Status, const SANE_Device*** device_list, SANE_Bool) {
    if (device_list == nullptr || *device_list == nullptr) return;
    record.begin_list("devices");
    for (const SANE_Device** device = *device_list; *device != nullptr; ++device) record.item((*device)->name);
    record.end_list();
}

void Open::arguments(Record& record, SANE_String_Const devicename, SANE_Handle*) {
    record.add("devicename", devicename);
}
void Open::results(Record& record, SANE_Status status, SANE_String_Const, SANE_Handle* handle) {
    if (status == SANE_STATUS_GOOD) add_handle(record, *handle);
}

void Close::arguments(Record& record, SANE_Handle handle) { add_handle(record, handle); }

void GetOptionDescriptor::arguments(Record& record, SANE_Handle handle, SANE_Int option) {
    add_handle(record, handle);
    record.add("option", option);
}
void GetOptionDescriptor::results(Record& record, const SANE_Option_Descriptor* descriptor, SANE_Handle, SANE_Int) {
    record.add("name", descriptor != nullptr ? descriptor->name : nullptr);
}

void ControlOption::arguments(Record& record, SANE_Handle handle, SANE_Int option, SANE_Action action, void* value,
                              SANE_Int*) {
    add_handle(record, handle);
    record.add("option", option);
    if (const char* name = action_name(action)) record.add("action", name);
    else record.add("action", int{action});
    if (action == SANE_ACTION_SET_VALUE) add_value(record, handle, option, value);
}
void ControlOption::results(Record& record, SANE_Status status, SANE_Handle handle, SANE_Int option,
                            SANE_Action action, void* value, SANE_Int* info) {
    if (status != SANE_STATUS_GOOD) return;
    if (action != SANE_ACTION_SET_AUTO) add_value(record, handle, option, value);
    if (info != nullptr) record.add("info", *info);
}

void GetParameters::arguments(Record& record, SANE_Handle handle, SANE_Parameters*) { add_handle(record, handle); }
void GetParameters::results(Record& record, SANE_Status status, SANE_Handle, SANE_Parameters* params) {
    if (status != SANE_STATUS_GOOD) return;
    record.add("format", int{params->format})
        .add("last_frame", params->last_frame != SANE_FALSE)
        .add("bytes_per_line", params->bytes_per_line)
        .add("pixels_per_line", params->pixels_per_line)
        .add("lines", params->lines)
        .add("depth", params->depth);
}

void Start::arguments(Record& record, SANE_Handle handle) { add_handle(record, handle); }

void Read::arguments(Record& record, SANE_Handle handle, SANE_Byte*, SANE_Int max_length, SANE_Int*) {
    add_handle(record, handle);
    record.add("max_length", max_length);
}
void Read::results(Record& record, SANE_Status, SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int* length) {
    if (length != nullptr) record.add("length", *length);
}

// Possibly in a signal handler: the handle is read as the cancel itself
// reads it, without a look at the list of open handles, which the call it
// interrupted may be changing.
void Cancel::arguments(Record& record, SANE_Handle handle) {
    if (handle == nullptr) {
        record.add_null("handle");
        return;
    }
    const ipc_t* ipc = static_cast<device_t*>(handle)->ipc;
    record.add("handle", ipc != nullptr ? ipc->trace : 0);
}

void SetIoMode::arguments(Record& record, SANE_Handle handle, SANE_Bool non_blocking) {
    add_handle(record, handle);
    record.add("non_blocking", non_blocking != SANE_FALSE);
}

void GetSelectFd::arguments(Record& record, SANE_Handle handle, SANE_Int*) { add_handle(record, handle); }
void GetSelectFd::results(Record& record, SANE_Status status, SANE_Handle, SANE_Int* fd) {
    if (status == SANE_STATUS_GOOD) record.add("fd", *fd);
}

}  // namespace kelvra::call_trace
