// Image files for the simulator's page-source tests, written by code of the
// tests' own: binary PNM, and PNG with stored (uncompressed) deflate blocks,
// so that no image library stands between a test and its expectations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra_test {

void write_bytes(const std::string& path, const std::string& bytes);

// A P5 ('5') or P6 ('6') file of `samples`, with a comment in its header.
std::string pnm(char type, uint32_t width, uint32_t height, const std::vector<uint8_t>& samples,
                uint32_t maxval = 255);

// A PNG of `rows` (each row's raw bytes; filter type 0 is added), with a
// PLTE chunk when `palette` is not empty.
std::string png(uint32_t width, uint32_t height, int bit_depth, int colour_type, const std::vector<std::string>& rows,
                const std::string& palette = {});

}  // namespace kelvra_test
