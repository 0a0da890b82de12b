// Scan jobs on an open handle: start, frame parameters, read, cancel, and
// what the handle's teardown leaves to the scan side. The handle record lives
// here because nearly all of it is the job's state; backend/ creates,
// registers and frees handles, and never touches a page's pipe or thread.
#pragma once

#include <sane/sane.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "ipc/ipc.h"

struct DeviceOptions;

// One open handle. The frontend's thread owns every field except the
// atomics, which the page's reader thread or a cancel from a signal handler
// shares:
//   cancelled       raised by cancel_scan and by a device cancel
//   cancels         counts the cancels asked for, so that a start learns of
//                   one that came while it waited
//   status          the job's outcome, stored by the reader thread when it ends
//   pipe_write_fd   closed by whichever side finishes with it first; taken
//                   with an exchange so that a descriptor is never closed twice
//   thread_running  read by a cancel that can only initiate (it wakes the thread)
struct device_t {
    DeviceInfo info;
    ImageInfo image{};
    ipc_t* ipc = nullptr;
    DeviceOptions* options = nullptr;
    std::atomic<uint8_t> cancelled{0};
    std::atomic<uint32_t> cancels{0};
    std::atomic<SANE_Status> status{SANE_STATUS_GOOD};
    uint32_t pages = 0;
    uint64_t total_bytes = 0;
    uint64_t read_bytes = 0;
    uint64_t received_bytes = 0;
    int pipe_read_fd = -1;
    std::atomic<int> pipe_write_fd{-1};
    std::atomic<uint8_t> thread_running{0};
    pthread_t thread{};
};

// Marks a call of the frontend's into the library that may wait for or join
// a reader thread (start, read, parameters, cancel, close, exit) while it
// runs. The SANE standard lets a frontend call sane_cancel from a signal
// handler; a cancel that finds such a call already running (it interrupted
// it, or runs beside it on another thread) only initiates: it raises the flag
// and wakes the thread, and leaves the join to the call it interrupted or to
// the next one. So no thread is joined twice, and no join runs inside a
// handler that interrupted one.
class FrontendCall {
public:
    FrontendCall();
    ~FrontendCall();
    FrontendCall(const FrontendCall&) = delete;
    FrontendCall& operator=(const FrontendCall&) = delete;
    bool alone() const { return alone_; }  // no other call was running when this one began

private:
    bool alone_;
};

// Scan job setup (scan_job.cpp)
SANE_Status start_scan(device_t* handle);
SANE_Status get_scan_parameters(device_t* handle, SANE_Parameters* params);

// Read and cancel (read_cancel.cpp)
SANE_Status read_image(device_t* handle, SANE_Byte* buffer, SANE_Int* length);
SANE_Status cancel_scan(device_t* handle);

// Cancels the page and joins its reader thread, for a handle being closed;
// the caller holds a FrontendCall (read_cancel.cpp).
void stop_scan(device_t* handle);

// For a handle being released: stops and joins a reader thread that is still
// running, forgets a cancel and closes both ends of the page pipe (read_cancel.cpp).
void release_scan(device_t* handle);
