// The current options of a handle as the scan-manager's scan parameters:
// the area in pixels at the device's base resolution, and the output size.
#include "options/options.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "options/units_internal.h"

namespace {

bool same_text(const char* value, const char* text) { return value != nullptr && std::strcmp(value, text) == 0; }

// Areas inside the option ranges always give values from 0 up. Values set
// outside them may come out negative; those are stored as their 32-bit two's
// complement, and anything wider keeps its low 32 bits.
uint32_t rounded_field(double value) { return static_cast<uint32_t>(static_cast<int64_t>(std::round(value))); }

// Sets placement and side; true for either feeder source. Compared by text,
// so a value that is not one of the shared strings still selects the right
// source.
bool set_source(const char* source, ScanParameter* parameter) {
    if (same_text(source, "Automatic Document Feeder")) {
        parameter->original_placement = 1;
        parameter->scan_side = 0;
        return true;
    }
    if (same_text(source, "ADF Duplex")) {
        parameter->original_placement = 1;
        parameter->scan_side = 1;
        return true;
    }
    parameter->original_placement = 0;
    parameter->scan_side = 0;
    return false;
}

// The scan area in millimetres, corners in order.
struct AreaMm {
    double left, right, top, bottom;
};

AreaMm scan_area(const DeviceOptions* options, bool feeder) {
    const OptionSlot* slots = options->slots;
    double left = static_cast<double>(slots[OPT_TL_X].word) * FIXED_SCALE;
    double right = static_cast<double>(slots[OPT_BR_X].word) * FIXED_SCALE;
    double top = static_cast<double>(slots[OPT_TL_Y].word) * FIXED_SCALE;
    double bottom = static_cast<double>(slots[OPT_BR_Y].word) * FIXED_SCALE;
    // The corners may be given in either order.
    if (left > right) {
        std::swap(left, right);
    }
    if (top > bottom) {
        std::swap(top, bottom);
    }

    // Documents in a feeder lie in its middle; the chosen width is kept.
    if (slots[OPT_CENTER_SCAN].word == 1 && feeder) {
        const double width = right - left;
        left = (static_cast<double>(options->ranges[2].max) * FIXED_SCALE - width) * 0.5;
        right = width + left;
    }
    return {left, right, top, bottom};
}

// The area in pixels at the base resolution, and the output size.
void set_pixel_area(const AreaMm& area, uint32_t basic, SANE_Word resolution, ScanParameter* parameter) {
    if (basic == 0) {
        // No base resolution, no area: the output ratio would divide by 0.
        parameter->input_position_x = 0;
        parameter->input_position_y = 0;
        parameter->input_width = 0;
        parameter->input_height = 0;
        parameter->output_width = 0;
        parameter->output_height = 0;
        return;
    }
    const double res = static_cast<double>(basic);
    parameter->input_position_x = rounded_field(area.left / MM_PER_INCH * res);
    parameter->input_position_y = rounded_field(area.top / MM_PER_INCH * res);
    parameter->input_width = rounded_field((area.right - area.left) / MM_PER_INCH * res);
    parameter->input_height = rounded_field((area.bottom - area.top) / MM_PER_INCH * res);

    const double ratio = static_cast<double>(resolution) / res;
    parameter->output_width = rounded_field(static_cast<double>(parameter->input_width) * ratio);
    parameter->output_height = rounded_field(static_cast<double>(parameter->input_height) * ratio);
}

}  // namespace

SANE_Status make_scan_parameter(const DeviceOptions* options, ScanParameter* parameter) {
    const OptionSlot* slots = options->slots;
    const bool feeder = set_source(slots[OPT_SOURCE].string, parameter);
    parameter->color_mode = same_text(slots[OPT_MODE].string, "Gray") ? 1 : 2;

    const uint32_t basic = options->capability.basic_resolution;
    parameter->input_resolution = basic;
    parameter->output_resolution = static_cast<uint32_t>(slots[OPT_RESOLUTION].word);
    parameter->black_text_mode = 0;
    set_pixel_area(scan_area(options, feeder), basic, slots[OPT_RESOLUTION].word, parameter);
    return SANE_STATUS_GOOD;
}
