// Scan jobs: start, frame parameters, the reader thread, read and cancel.
#pragma once

#include <sane/sane.h>

#include "backend/backend.h"

// Scan job setup (scan_job.cpp)
SANE_Status start_scan(device_t* handle);
SANE_Status get_scan_parameters(device_t* handle, SANE_Parameters* params);

// Reader thread (reader_thread.cpp)
void* reader_thread(void* handle);
void sigusr1_handler(int signal_number);

// Read and cancel (read_cancel.cpp)
SANE_Status read_image(device_t* handle, SANE_Byte* buffer, SANE_Int* length);
SANE_Status cancel_scan(device_t* handle);
