// Prints the bytes the simulator sends as one page, for the frontend tests to
// compare scanned files against:
//   page-reference WIDTH HEIGHT BYTES_PER_ROW CHANNELS PAGE [LEFT TOP DOCUMENT_WIDTH DOCUMENT_HEIGHT] [front|back]
// Without the four numbers the page is its whole document (a scan of the
// unit's whole area); with them it is cut at (LEFT, TOP) from a document of
// that size, all in pixels at the scan's resolution. front or back: a side of
// a duplex sheet.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "simulator/pages.h"

namespace {

uint32_t number(const char* text) { return static_cast<uint32_t>(std::strtoul(text, nullptr, 10)); }

}  // namespace

int main(int argc, char** argv) {
    kelvra_sim::PageGeometry geometry;
    const char* last = argv[argc - 1];
    const bool sided = argc > 1 && (std::strcmp(last, "front") == 0 || std::strcmp(last, "back") == 0);
    const int numbers = argc - 1 - (sided ? 1 : 0);
    if (numbers != 5 && numbers != 9) {
        std::fprintf(stderr,
                     "usage: %s WIDTH HEIGHT BYTES_PER_ROW CHANNELS PAGE [LEFT TOP DOCUMENT_WIDTH DOCUMENT_HEIGHT] "
                     "[front|back]\n",
                     argv[0]);
        return 2;
    }
    geometry.width = number(argv[1]);
    geometry.height = number(argv[2]);
    geometry.bytes_per_row = std::strtoull(argv[3], nullptr, 10);
    geometry.channels = number(argv[4]);
    const uint32_t page = number(argv[5]);
    if (numbers == 9) {
        geometry.left = number(argv[6]);
        geometry.top = number(argv[7]);
        geometry.document_width = number(argv[8]);
        geometry.document_height = number(argv[9]);
    }
    if (sided) geometry.side = std::strcmp(last, "front") == 0 ? kelvra_sim::Side::front : kelvra_sim::Side::back;
    std::vector<uint8_t> row(geometry.bytes_per_row);
    for (uint32_t y = 0; y < geometry.height; ++y) {
        kelvra_sim::page_bytes(geometry, page, static_cast<uint64_t>(y) * geometry.bytes_per_row, row.data(),
                               row.size());
        std::fwrite(row.data(), 1, row.size(), stdout);
    }
    return 0;
}
