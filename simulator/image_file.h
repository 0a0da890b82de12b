// Image files that give a page its content instead of the test chart:
// binary PNM (P5 grey, P6 colour, up to 8 bits per sample) and PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra_sim {

// A decoded image: 8 bits per sample, rows top to bottom, no padding.
struct SourceImage {
    std::string path;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 1;  // 1 grey, 3 RGB
    std::vector<uint8_t> pixels;
};

// The largest image a scenario may name, in pixels: enough for a page at any
// sane resolution, and a bound on what a bad file makes us allocate.
constexpr uint64_t max_source_pixels = 1ull << 28;

// Reads a PNM or PNG file (told apart by its first bytes). PNG colour types
// are reduced to grey or RGB: palettes are expanded, 16-bit samples keep
// their high byte, alpha is dropped. On failure `error` says why.
bool load_image_file(const std::string& path, SourceImage& image, std::string& error);

}  // namespace kelvra_sim
