#include "simulator/request_checks.h"

#include <algorithm>
#include <cstdint>

namespace kelvra_sim {
namespace {

bool has_unit(const DeviceSpec& device, const char* unit) {
    return std::find(device.units.begin(), device.units.end(), unit) != device.units.end();
}

std::string number(uint64_t value) { return std::to_string(value); }

// The area of one direction (x or y) against the unit's range of that direction.
void check_extent(std::vector<std::string>& problems, const char* name, uint64_t position, uint64_t size,
                  uint64_t min, uint64_t max) {
    if (size + 1 < min || size > max + 1)
        problems.push_back(std::string("input_") + name + " " + number(size) + " is outside the unit's " +
                           number(min) + " to " + number(max));
    else if (position + size > max + 1)
        problems.push_back(std::string("the area ends at ") + number(position + size) + " pixels, beyond the unit's " +
                           number(max) + " (" + name + ")");
}

// An output size must be the input size at the output resolution.
void check_output(std::vector<std::string>& problems, const char* name, uint64_t output, uint64_t input,
                  const ScanSettings& s) {
    if (s.input_resolution == 0 || s.output_resolution == 0) return;
    const uint64_t expected = scaled(input, s.output_resolution, s.input_resolution);
    if (output + 1 < expected || output > expected + 1)
        problems.push_back(std::string("output_") + name + " " + number(output) + " is not input_" + name + " " +
                           number(input) + " at " + number(s.output_resolution) + " dpi (" + number(expected) + ")");
    else if (output == 0)
        problems.push_back(std::string("output_") + name + " 0: an image without pixels");
}

}  // namespace

std::vector<std::string> scan_parameter_problems(const ScanSettings& s, const DeviceSpec* device) {
    std::vector<std::string> problems;
    if (device == nullptr) {
        problems.push_back("scan parameters before any open device request");
        return problems;
    }
    const DeviceSpec& d = *device;
    const AreaLimits* unit = nullptr;
    if (s.original_placement == 0) {
        unit = &d.flatbed;
        if (!has_unit(d, "flatbed")) problems.push_back("a flatbed scan, but " + d.name + " has no flatbed");
    } else if (s.original_placement == 1) {
        unit = &d.adf;
        if (s.scan_side == 0 && !has_unit(d, "adf"))
            problems.push_back("a feeder scan, but " + d.name + " has no adf unit");
    } else {
        problems.push_back("original_placement " + number(s.original_placement) +
                           " is neither 0 (flatbed) nor 1 (feeder)");
    }
    if (s.scan_side > 1)
        problems.push_back("scan_side " + number(s.scan_side) + " is neither 0 (one side) nor 1 (both)");
    else if (s.scan_side == 1 && s.original_placement == 0)
        problems.push_back("both sides of a page on the flatbed");
    else if (s.scan_side == 1 && !has_unit(d, "adf_duplex"))
        problems.push_back("a duplex scan, but " + d.name + " has no adf_duplex unit");
    if (s.color_mode != 1 && s.color_mode != 2)
        problems.push_back("color_mode " + number(s.color_mode) + " is neither 1 (grey) nor 2 (colour)");
    if (s.input_resolution != d.basic_resolution)
        problems.push_back("input_resolution " + number(s.input_resolution) + " is not the device's basic_resolution " +
                           number(d.basic_resolution));
    if (unit != nullptr) {
        check_extent(problems, "width", s.input_position_x, s.input_width, unit->min_width, unit->max_width);
        check_extent(problems, "height", s.input_position_y, s.input_height, unit->min_height, unit->max_height);
    }
    if (s.output_resolution == 0) problems.push_back("output_resolution 0");
    check_output(problems, "width", s.output_width, s.input_width, s);
    check_output(problems, "height", s.output_height, s.input_height, s);
    const uint64_t bytes_per_row = uint64_t(s.output_width) * (s.color_mode == 1 ? 1 : 3);
    if (bytes_per_row > UINT32_MAX)
        problems.push_back("output_width " + number(s.output_width) + " gives bytes_per_row " + number(bytes_per_row) +
                           ", more than the 32 bits of image_info's field");
    if (s.black_text_mode > 1 || (s.black_text_mode == 1 && d.black_text_support == 0))
        problems.push_back("black_text_mode " + number(s.black_text_mode) + " on a device whose black_text_support is " +
                           number(d.black_text_support));
    return problems;
}

}  // namespace kelvra_sim
