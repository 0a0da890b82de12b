// The steps of building the source list, apart so that a failing append can
// be exercised without exhausting memory.
#pragma once

#include <cstdint>

#include "options/options.h"

using AppendStringFn = uint32_t (*)(const char* string, const char** list, uint32_t count, const char*** out);

// "Flatbed", then one entry per feeder unit in the capability's order. An
// entry that `append` cannot store is left out; NULL when none was stored.
const char** build_source_list(const DeviceCapability& capability, AppendStringFn append);

// Hands `list` (heap, NULL-terminated, or NULL) to the table and points the
// source option's constraint, size and value at it.
void attach_source_list(DeviceOptions* options, const char** list);
