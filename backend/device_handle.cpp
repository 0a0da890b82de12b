// Placeholder until this part is written.
#include "backend/backend.h"

std::vector<device_t*> g_open_devices;
SANE_Status open_device(const char*, device_t**) { return SANE_STATUS_UNSUPPORTED; }
SANE_Status close_device(device_t*) { return SANE_STATUS_UNSUPPORTED; }
void release_device(device_t*) {}
const SANE_Option_Descriptor* get_device_option(device_t*, SANE_Int) { return nullptr; }
void close_pipe(device_t*) {}
