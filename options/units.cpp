// Pixel counts at a resolution <-> SANE_Fixed millimetres.
#include "options/options.h"

#include <cmath>

#include "options/units_internal.h"

namespace {

// Values outside the 32-bit range only come from capabilities with sizes no
// real device has; they keep their low 32 bits instead of being undefined.
int32_t low_32_bits(double value) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(value)));
}

}  // namespace

SANE_Fixed signed_pixels_to_fixed_mm(int64_t pixels, uint32_t resolution) {
    if (resolution == 0) {
        return 0;
    }
    const double mm = static_cast<double>(pixels) / static_cast<double>(resolution) * MM_PER_INCH * 65536.0;
    return low_32_bits(mm);  // truncates toward zero
}

SANE_Fixed pixels_to_fixed_mm(uint32_t pixels, uint32_t resolution) {
    return signed_pixels_to_fixed_mm(pixels, resolution);
}

int32_t fixed_mm_to_pixels(SANE_Fixed value, uint32_t resolution) {
    if (resolution == 0) {
        return 0;
    }
    const double pixels = static_cast<double>(value) * FIXED_SCALE / MM_PER_INCH * static_cast<double>(resolution);
    return low_32_bits(std::round(pixels));
}
