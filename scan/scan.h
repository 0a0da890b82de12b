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

// One open handle. The frontend's thread owns every field except the three
// atomics, which the page's reader thread shares:
//   cancelled      raised by cancel_scan and by a device cancel
//   status         the job's outcome, stored by the reader thread when it ends
//   pipe_write_fd  closed by whichever side finishes with it first; taken
//                  with an exchange so that a descriptor is never closed twice
struct device_t {
    DeviceInfo info;
    ImageInfo image{};
    ipc_t* ipc = nullptr;
    DeviceOptions* options = nullptr;
    std::atomic<uint8_t> cancelled{0};
    std::atomic<SANE_Status> status{SANE_STATUS_GOOD};
    uint32_t pages = 0;
    uint64_t total_bytes = 0;
    uint64_t read_bytes = 0;
    uint64_t received_bytes = 0;
    int pipe_read_fd = -1;
    std::atomic<int> pipe_write_fd{-1};
    uint8_t thread_running = 0;
    pthread_t thread{};
};

// Scan job setup (scan_job.cpp)
SANE_Status start_scan(device_t* handle);
SANE_Status get_scan_parameters(device_t* handle, SANE_Parameters* params);

// Read and cancel (read_cancel.cpp)
SANE_Status read_image(device_t* handle, SANE_Byte* buffer, SANE_Int* length);
SANE_Status cancel_scan(device_t* handle);

// For a handle being released: joins a reader thread that is still running,
// forgets a cancel and closes both ends of the page pipe (read_cancel.cpp).
void release_scan(device_t* handle);
