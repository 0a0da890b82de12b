// The device list, the configuration file and the open device handles.
#pragma once

#include <sane/sane.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "ipc/ipc.h"
#include "options/options.h"

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

extern SANE_Device** g_device_list;
extern std::vector<DeviceInfo> g_device_infos;
extern std::vector<device_t*> g_open_devices;

// Device list (device_list.cpp)
SANE_Status get_devices(const SANE_Device*** device_list, SANE_Bool local_only);
void free_device_list();

// Configuration file (config_file.cpp): one DiscoveryInfo per accepted line.
std::vector<DiscoveryInfo> read_config_hosts(const char* path);

// Device handles (device_handle.cpp)
SANE_Status open_device(const char* name, device_t** handle);
SANE_Status close_device(device_t* handle);
void release_device(device_t* handle);
const SANE_Option_Descriptor* get_device_option(device_t* handle, SANE_Int option);
SANE_Status control_device_option(device_t* handle, SANE_Int option, SANE_Action action, void* value,
                                  SANE_Int* info);
void close_pipe(device_t* handle);
