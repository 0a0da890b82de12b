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

}  // namespace

SANE_Status make_scan_parameter(const DeviceOptions* options, ScanParameter* parameter) {
    const OptionSlot* slots = options->slots;

    // Compared by text, so a value that is not one of the shared strings
    // still selects the right source.
    bool feeder = false;
    const char* source = slots[OPT_SOURCE].string;
    if (same_text(source, "Automatic Document Feeder")) {
        parameter->original_placement = 1;
        parameter->scan_side = 0;
        feeder = true;
    } else if (same_text(source, "ADF Duplex")) {
        parameter->original_placement = 1;
        parameter->scan_side = 1;
        feeder = true;
    } else {
        parameter->original_placement = 0;
        parameter->scan_side = 0;
    }

    parameter->color_mode = same_text(slots[OPT_MODE].string, "Gray") ? 1 : 2;

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

    const uint32_t basic = options->capability.basic_resolution;
    const double res = static_cast<double>(basic);
    parameter->input_resolution = basic;
    parameter->output_resolution = static_cast<uint32_t>(slots[OPT_RESOLUTION].word);
    parameter->black_text_mode = 0;

    if (basic == 0) {
        // No base resolution, no area: the output ratio would divide by 0.
        parameter->input_position_x = 0;
        parameter->input_position_y = 0;
        parameter->input_width = 0;
        parameter->input_height = 0;
        parameter->output_width = 0;
        parameter->output_height = 0;
        return SANE_STATUS_GOOD;
    }

    parameter->input_position_x = rounded_field(left / MM_PER_INCH * res);
    parameter->input_position_y = rounded_field(top / MM_PER_INCH * res);
    parameter->input_width = rounded_field((right - left) / MM_PER_INCH * res);
    parameter->input_height = rounded_field((bottom - top) / MM_PER_INCH * res);

    const double ratio = static_cast<double>(slots[OPT_RESOLUTION].word) / res;
    parameter->output_width = rounded_field(static_cast<double>(parameter->input_width) * ratio);
    parameter->output_height = rounded_field(static_cast<double>(parameter->input_height) * ratio);
    return SANE_STATUS_GOOD;
}
