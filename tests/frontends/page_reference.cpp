// Prints the bytes the simulator sends as one page, for the frontend tests to
// compare scanned files against: page-reference WIDTH HEIGHT BYTES_PER_ROW CHANNELS PAGE
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "simulator/pages.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT BYTES_PER_ROW CHANNELS PAGE\n", argv[0]);
        return 2;
    }
    kelvra_sim::PageGeometry geometry;
    geometry.width = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    geometry.height = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    geometry.bytes_per_row = std::strtoull(argv[3], nullptr, 10);
    geometry.channels = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
    uint32_t page = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
    std::vector<uint8_t> row(geometry.bytes_per_row);
    for (uint32_t y = 0; y < geometry.height; ++y) {
        kelvra_sim::page_bytes(geometry, page, static_cast<uint64_t>(y) * geometry.bytes_per_row, row.data(),
                               row.size());
        std::fwrite(row.data(), 1, row.size(), stdout);
    }
    return 0;
}
