// Constants and the signed conversion shared inside the options folder.
#pragma once

#include <sane/sane.h>

#include <cstdint>

// The devices' own millimetres-per-inch factor is the single-precision 25.4;
// the wider exact value would move some sizes by one unit.
constexpr double MM_PER_INCH = static_cast<double>(25.4f);

// One SANE_Fixed unit, 2^-16.
constexpr double FIXED_SCALE = 1.52587890625e-05;

// pixels_to_fixed_mm for a pixel value that may lie left of or above 0: the
// minimum-size rule can place a corner there after an earlier move left the
// other corner outside its range. Same arithmetic, from the signed value.
SANE_Fixed signed_pixels_to_fixed_mm(int64_t pixels, uint32_t resolution);
