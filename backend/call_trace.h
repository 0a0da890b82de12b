// Entry-point calls in the trace: a "call" record with the arguments as the
// frontend gave them, then a "return" record with the result and what the
// call handed back. Each entry point is one `traced<Tag>(body, arguments...)`;
// with the trace off that is one predictable branch before the body.
#pragma once

#include <sane/sane.h>

#include <cerrno>
#include <cstdint>
#include <type_traits>

#include "trace/trace.h"

namespace kelvra::call_trace {

using trace::Record;

// One tag per entry point: its name and how its arguments and results read.
// `arguments` fills the call record, `results` the return record (the
// result first, then the arguments again, as the call left them); a SANE
// status is in the return record already.
struct Init {
    static constexpr const char* name = "sane_kelvra_init";
    static void arguments(Record&, SANE_Int* version_code, SANE_Auth_Callback authorize);
    static void results(Record&, SANE_Status, SANE_Int* version_code, SANE_Auth_Callback);
};
struct Exit {
    static constexpr const char* name = "sane_kelvra_exit";
    static void arguments(Record&) {}
    static void results(Record&) {}
};
struct GetDevices {
    static constexpr const char* name = "sane_kelvra_get_devices";
    static void arguments(Record&, const SANE_Device*** device_list, SANE_Bool local_only);
    static void results(Record&, SANE_Status, const SANE_Device*** device_list, SANE_Bool);
};
struct Open {
    static constexpr const char* name = "sane_kelvra_open";
    static void arguments(Record&, SANE_String_Const devicename, SANE_Handle* handle);
    static void results(Record&, SANE_Status, SANE_String_Const, SANE_Handle* handle);
};
struct Close {
    static constexpr const char* name = "sane_kelvra_close";
    static void arguments(Record&, SANE_Handle handle);
    static void results(Record&, SANE_Handle) {}
};
struct GetOptionDescriptor {
    static constexpr const char* name = "sane_kelvra_get_option_descriptor";
    static void arguments(Record&, SANE_Handle handle, SANE_Int option);
    static void results(Record&, const SANE_Option_Descriptor* descriptor, SANE_Handle, SANE_Int);
};
struct ControlOption {
    static constexpr const char* name = "sane_kelvra_control_option";
    static void arguments(Record&, SANE_Handle handle, SANE_Int option, SANE_Action action, void* value,
                          SANE_Int* info);
    static void results(Record&, SANE_Status, SANE_Handle handle, SANE_Int option, SANE_Action action, void* value,
                        SANE_Int* info);
};
struct GetParameters {
    static constexpr const char* name = "sane_kelvra_get_parameters";
    static void arguments(Record&, SANE_Handle handle, SANE_Parameters*);
    static void results(Record&, SANE_Status, SANE_Handle, SANE_Parameters* params);
};
struct Start {
    static constexpr const char* name = "sane_kelvra_start";
    static void arguments(Record&, SANE_Handle handle);
    static void results(Record&, SANE_Status, SANE_Handle) {}
};
struct Read {
    static constexpr const char* name = "sane_kelvra_read";
    static void arguments(Record&, SANE_Handle handle, SANE_Byte*, SANE_Int max_length, SANE_Int*);
    static void results(Record&, SANE_Status, SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int* length);
};
// A cancel may come from a signal handler: it never starts a session, and
// its records need neither a lock nor an allocation.
struct Cancel {
    static constexpr const char* name = "sane_kelvra_cancel";
    static constexpr bool from_signal_handlers = true;
    static void arguments(Record&, SANE_Handle handle);
    static void results(Record&, SANE_Handle) {}
};
struct SetIoMode {
    static constexpr const char* name = "sane_kelvra_set_io_mode";
    static void arguments(Record&, SANE_Handle handle, SANE_Bool non_blocking);
    static void results(Record&, SANE_Status, SANE_Handle, SANE_Bool) {}
};
struct GetSelectFd {
    static constexpr const char* name = "sane_kelvra_get_select_fd";
    static void arguments(Record&, SANE_Handle handle, SANE_Int*);
    static void results(Record&, SANE_Status, SANE_Handle, SANE_Int* fd);
};

// Writes the records of a call whose arguments were read before and whose
// result after it; errno stays the body's.
template <class Tag, class Body, class... Args>
auto traced_slowly(Body body, Args... args) {
    {
        Record call("call");
        call.add("call", Tag::name);
        Tag::arguments(call, args...);
        call.write();
    }
    using Result = decltype(body(args...));
    if constexpr (std::is_void_v<Result>) {
        body(args...);
        const int saved_errno = errno;
        Record done("return");
        done.add("call", Tag::name);
        Tag::results(done, args...);
        done.write();
        errno = saved_errno;
    } else {
        const Result result = body(args...);
        const int saved_errno = errno;
        Record done("return");
        done.add("call", Tag::name);
        if constexpr (std::is_same_v<Result, SANE_Status>) done.status(result);
        Tag::results(done, result, args...);
        done.write();
        errno = saved_errno;
        return result;
    }
}

template <class Tag>
concept FromSignalHandlers = Tag::from_signal_handlers;

template <class Tag, class Body, class... Args>
inline auto traced(Body body, Args... args) {
    bool tracing;
    if constexpr (FromSignalHandlers<Tag>) tracing = trace::active();
    else tracing = trace::on();
    if (!tracing) [[likely]] return body(args...);
    return traced_slowly<Tag>(body, args...);
}

}  // namespace kelvra::call_trace
