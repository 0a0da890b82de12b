// The simulator's test chart: the fast, cached generator gives the same bytes
// as the one computed from first principles (whole pages, pieces that start
// and end inside rows, rows padded or cut short), and every row of a page
// differs from the same row of the next page, so that a page delivered in
// place of another never passes a byte-for-byte check.
#include <gtest/gtest.h>

#include <vector>

#include "simulator/pages.h"

namespace {

using kelvra_sim::PageGeometry;

TEST(SimulatorPages, FastBytesEqualTheReferenceAndNeighbouringPagesDifferInEveryRow) {
    const PageGeometry geometries[] = {
        {638, 40, 638 * 3, 3},     // colour
        {300, 25, 300, 1},         // grey
        {101, 9, 101 * 3 + 5, 3},  // rows with padding
        {90, 12, 200, 3},          // rows cut short of width * channels
        {7, 3, 7, 1},              // too small for digits
    };
    for (const PageGeometry& g : geometries) {
        SCOPED_TRACE(testing::Message() << g.width << "x" << g.height << " bpr " << g.bytes_per_row);
        const uint64_t size = kelvra_sim::page_size(g);
        std::vector<std::vector<uint8_t>> pages;
        for (uint32_t page : {1u, 2u}) {
            std::vector<uint8_t> bytes(size);
            // Pieces of odd sizes, so that pieces start and end inside rows.
            for (uint64_t at = 0; at < size; at += 77)
                kelvra_sim::page_bytes(g, page, at, bytes.data() + at, size_t(std::min<uint64_t>(77, size - at)));
            for (uint64_t i = 0; i < size; ++i)
                ASSERT_EQ(bytes[i], kelvra_sim::page_byte_reference(g, page, i)) << "page " << page << " byte " << i;
            pages.push_back(std::move(bytes));
        }
        for (uint64_t row = 0; row < g.height; ++row) {
            const auto begin = row * g.bytes_per_row;
            EXPECT_FALSE(std::equal(pages[0].begin() + long(begin), pages[0].begin() + long(begin + g.bytes_per_row),
                                    pages[1].begin() + long(begin)))
                << "row " << row << " is the same on pages 1 and 2";
        }
    }
}

}  // namespace
