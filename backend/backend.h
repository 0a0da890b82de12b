// The device list, the configuration file and the open device handles. The
// handle record itself, device_t, is declared with the scan jobs (scan/scan.h).
#pragma once

#include <sane/sane.h>

#include <vector>

#include "ipc/ipc.h"
#include "options/options.h"
#include "scan/scan.h"

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
// Closes every handle still open, releasing each even when its close exchange fails.
void close_all_devices();
void release_device(device_t* handle);
const SANE_Option_Descriptor* get_device_option(device_t* handle, SANE_Int option);
SANE_Status control_device_option(device_t* handle, SANE_Int option, SANE_Action action, void* value,
                                  SANE_Int* info);
