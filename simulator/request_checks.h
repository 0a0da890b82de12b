// What a real device checks in a scan parameter request before it scans:
// the units it has, its sizes and resolution, and fields that must fit the
// image_info reply. One pixel either way is allowed where the backend rounds
// millimetres to pixels.
#pragma once

#include "simulator/devices.h"
#include "simulator/scan_job.h"

#include <string>
#include <vector>

namespace kelvra_sim {

// The problems of `settings` on the opened `device` (null: none is open),
// each a sentence for the log and the transcript; empty when there are none.
std::vector<std::string> scan_parameter_problems(const ScanSettings& settings, const DeviceSpec* device);

}  // namespace kelvra_sim
