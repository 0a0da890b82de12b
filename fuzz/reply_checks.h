// One check per fuzz target, shared by the fuzz targets and the regression
// tests: each feeds the input to a reply procedure as if the scan-manager had
// sent it and returns an empty string when all is well, otherwise what went
// wrong (reply_checks.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvra_fuzz {

std::string run_devices(const uint8_t* data, size_t size);
std::string run_capability(const uint8_t* data, size_t size);
std::string run_image_info(const uint8_t* data, size_t size);
std::string run_scan_status(const uint8_t* data, size_t size);
// The first byte presets the cancel flag and the room left in the page; the
// rest is a run of replies to read requests.
std::string run_read_reply(const uint8_t* data, size_t size);
std::string run_acks(const uint8_t* data, size_t size);
// Writes the input to `path` as the configuration file, then reads it back.
std::string run_config(const uint8_t* data, size_t size, const char* path);
// Reads the input as a backend trace, the way the simulator does before a
// replay (trace_check.cpp).
std::string run_trace(const uint8_t* data, size_t size);

// A fuzz target stops at the first problem, printing it, so that libFuzzer
// keeps the input as a crash.
int fail_on(const std::string& problem);

}  // namespace kelvra_fuzz
