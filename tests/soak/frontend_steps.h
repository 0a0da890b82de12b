// The steps a frontend takes, as the soak and memcheck runs use them: each
// reports a problem as text instead of failing a test, so that a plain
// program can count, print and decide its exit status.
#pragma once

#include <sane/sane.h>

#include <cstdint>
#include <string>

namespace kelvra_soak {

// Sets the scan area to a square of `millimetres` at the top left corner.
bool set_small_area(SANE_Handle handle, double millimetres, std::string* problem);

// Starts a page, reads it to EOF in small calls and compares every byte with
// page `page` of the simulator's test chart.
bool scan_page(SANE_Handle handle, uint32_t page, std::string* problem);

// "GOOD", "IO_ERROR", ... for messages.
std::string status_name(SANE_Status status);

}  // namespace kelvra_soak
