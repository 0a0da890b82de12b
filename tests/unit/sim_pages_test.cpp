// The simulator's test chart: the fast, cached generator gives the same bytes
// as the one computed from first principles (whole pages, pieces that start
// and end inside rows, rows padded or cut short, pages cut from a document,
// duplex sides); every row of a page that shows the document's left edge
// differs from the same row of the next page, so that a page delivered in
// place of another never passes a byte-for-byte check; a cut is exactly that
// region of the whole page, white beyond the document; the sides of a duplex
// sheet are marked F and B beside the page number.
#include <gtest/gtest.h>

#include <vector>

#include "simulator/pages.h"

namespace {

using kelvra_sim::PageGeometry;
using kelvra_sim::Side;

std::vector<uint8_t> bytes_of(const PageGeometry& g, uint32_t page) {
    std::vector<uint8_t> bytes(kelvra_sim::page_size(g));
    kelvra_sim::page_bytes(g, page, 0, bytes.data(), bytes.size());
    return bytes;
}

TEST(SimulatorPages, FastBytesEqualTheReferenceAndNeighbouringPagesDifferInEveryRow) {
    const PageGeometry geometries[] = {
        {638, 40, 638 * 3, 3},     // colour
        {300, 25, 300, 1},         // grey
        {101, 9, 101 * 3 + 5, 3},  // rows with padding
        {90, 12, 200, 3},          // rows cut short of width * channels
        {7, 3, 7, 1},              // too small for digits
        {90, 60, 90 * 3, 3, 300, 200, 0, 70},            // a cut at the left edge, through the box
        {80, 30, 80 * 3 + 2, 3, 300, 200, 250, 185},     // a cut past the right and bottom edges
        {70, 50, 70, 1, 300, 200, 120, 80},              // a cut inside, grey
        {60, 40, 60 * 3, 3, 0, 0, 0, 0, Side::back},     // the back of a duplex sheet
    };
    for (const PageGeometry& g : geometries) {
        SCOPED_TRACE(testing::Message() << g.width << "x" << g.height << " bpr " << g.bytes_per_row << " at "
                                        << g.left << "," << g.top << " of " << g.document_width);
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
        const uint64_t document_rows = g.document_width > 0 ? g.document_height - g.top : g.height;
        for (uint64_t row = 0; g.left == 0 && row < std::min<uint64_t>(g.height, document_rows); ++row) {
            const auto begin = row * g.bytes_per_row;
            EXPECT_FALSE(std::equal(pages[0].begin() + long(begin), pages[0].begin() + long(begin + g.bytes_per_row),
                                    pages[1].begin() + long(begin)))
                << "row " << row << " is the same on pages 1 and 2";
        }
    }
}

TEST(SimulatorPages, ACutIsThatRegionOfTheWholePageAndWhiteBeyondTheDocument) {
    const struct {
        uint32_t left, top, width, height;
    } cuts[] = {
        {0, 0, 400, 300},     // the whole page
        {123, 77, 150, 100},  // the middle, with the page number's box
        {350, 250, 50, 50},   // the bottom right corner, with the ruler
        {0, 140, 400, 20},    // a band through the box, with the stripe
        {380, 290, 40, 20},   // past the corner: white beyond
    };
    for (const uint32_t channels : {1u, 3u}) {
        const PageGeometry whole{400, 300, 400 * channels, channels, 400, 300, 0, 0, Side::front};
        const std::vector<uint8_t> full = bytes_of(whole, 5);
        for (const auto& c : cuts) {
            SCOPED_TRACE(testing::Message() << channels << " channels, " << c.width << "x" << c.height << " at "
                                            << c.left << "," << c.top);
            PageGeometry cut = whole;
            cut.left = c.left, cut.top = c.top, cut.width = c.width, cut.height = c.height;
            cut.bytes_per_row = uint64_t(c.width) * channels;
            const std::vector<uint8_t> bytes = bytes_of(cut, 5);
            for (uint32_t y = 0; y < c.height; ++y)
                for (uint32_t i = 0; i < c.width * channels; ++i) {
                    const uint32_t u = c.left + i / channels, v = c.top + y;
                    const uint8_t expected = u < 400 && v < 300 ? full[(v * 400 + u) * channels + i % channels] : 255;
                    ASSERT_EQ(bytes[y * c.width * channels + i], expected) << "row " << y << " byte " << i;
                }
        }
    }
}

TEST(SimulatorPages, TheSidesOfADuplexSheetAreMarked) {
    std::vector<std::vector<uint8_t>> sides;
    for (const Side side : {Side::single, Side::front, Side::back}) sides.push_back(bytes_of({400, 300, 400, 1, 0, 0, 0, 0, side}, 3));
    EXPECT_NE(sides[0], sides[1]) << "the front is not marked";
    // Front and back differ where F and B do: every font row but the middle one.
    const kelvra_sim::PageLayout l = kelvra_sim::page_layout({400, 300, 400, 1, 0, 0, 0, 0, Side::front}, 3);
    ASSERT_GT(l.scale, 0u);
    for (uint64_t y = 0; y < 300; ++y) {
        const uint64_t cell = y >= l.box_y ? (y - l.box_y) / l.scale : 0;
        const bool letters_differ = y >= l.box_y && cell >= 2 && cell < 9 && cell - 2 != 3;
        EXPECT_EQ(!std::equal(sides[1].begin() + long(y * 400), sides[1].begin() + long(y * 400 + 400),
                              sides[2].begin() + long(y * 400)),
                  letters_differ)
            << "row " << y;
    }
}

}  // namespace
