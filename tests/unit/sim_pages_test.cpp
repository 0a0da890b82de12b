// The simulator's test-chart pages: the fast generator against the byte-wise
// reference on any range (pieces joined into pages are checked through the
// simulator), page-to-page and row-to-row differences, the drawn digits, and
// the generation speed the relay measurements rely on.
#include "simulator/pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using kelvra_sim::page_byte_reference;
using kelvra_sim::page_bytes;
using kelvra_sim::page_layout;
using kelvra_sim::page_size;
using kelvra_sim::PageGeometry;
using kelvra_sim::PageRenderer;

namespace {

std::vector<uint8_t> whole_page(const PageGeometry& g, uint32_t page) {
    std::vector<uint8_t> out(page_size(g));
    page_bytes(g, page, 0, out.data(), out.size());
    return out;
}

std::string describe(const PageGeometry& g) {
    return std::to_string(g.width) + "x" + std::to_string(g.height) + " bpr " + std::to_string(g.bytes_per_row) +
           " ch " + std::to_string(g.channels);
}

struct GeometryCase {
    PageGeometry geometry;
    uint32_t page;
};

class PageGeometries : public testing::TestWithParam<GeometryCase> {};

// Grey, colour, padded rows, rows cut short, tiny pages, many digits.
const GeometryCase geometry_cases[] = {
    {{300, 200, 300, 1}, 1},
    {{300, 200, 900, 3}, 2},
    {{301, 97, 904, 3}, 10},     // padded: 1 byte beyond width * 3
    {{640, 64, 640, 1}, 255},
    {{200, 150, 450, 3}, 256},   // cut short: fewer bytes than width * 3
    {{1, 5, 1, 1}, 3},
    {{3, 3, 9, 3}, 4},
    {{13, 40, 13, 1}, 7},        // just enough width for the ruler
    {{0, 10, 0, 1}, 1},
    {{90, 0, 90, 1}, 1},
    {{2550, 33, 7650, 3}, 4294967295u},
    {{100, 100, 400, 4}, 12},    // four channels repeat R, G, B
};

TEST_P(PageGeometries, FastPathMatchesTheReferenceOnAnyRange) {
    const auto& [g, page] = GetParam();
    const uint64_t size = page_size(g);
    std::mt19937_64 random(g.width * 131 + g.height + page);
    // Whole page, then random ranges crossing row boundaries, then ranges below the page.
    std::vector<std::pair<uint64_t, uint64_t>> ranges{{0, size}};
    for (int i = 0; i < 40 && size > 0; ++i) {
        uint64_t start = random() % size;
        uint64_t count = 1 + random() % std::min<uint64_t>(size - start, 3 * g.bytes_per_row + 7);
        ranges.emplace_back(start, count);
    }
    ranges.emplace_back(size, 2 * g.bytes_per_row + 5);
    for (auto [start, count] : ranges) {
        std::vector<uint8_t> fast(count);
        page_bytes(g, page, start, fast.data(), fast.size());
        for (uint64_t i = 0; i < count; ++i) {
            ASSERT_EQ(fast[i], page_byte_reference(g, page, start + i))
                << describe(g) << " page " << page << " offset " << start + i << " (range from " << start << ")";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Simulator, PageGeometries, testing::ValuesIn(geometry_cases));

// A page mixed up with its neighbour, or a row repeated, must show in the bytes.
TEST(SimulatorPages, ConsecutivePagesDifferInEveryRowAndNeighbouringRowsDiffer) {
    const PageGeometry geometries[] = {{300, 120, 300, 1}, {300, 120, 900, 3}, {5, 9, 15, 3}, {1, 4, 1, 1}};
    const uint32_t pages[] = {1, 2, 9, 10, 99, 255, 256, 257, 1000};
    for (const PageGeometry& g : geometries) {
        for (uint32_t page : pages) {
            const std::vector<uint8_t> a = whole_page(g, page);
            const std::vector<uint8_t> b = whole_page(g, page + 1);
            for (uint64_t row = 0; row < g.height; ++row) {
                const uint64_t at = row * g.bytes_per_row;
                EXPECT_NE(0, std::memcmp(a.data() + at, b.data() + at, g.bytes_per_row))
                    << describe(g) << ": row " << row << " of pages " << page << " and " << page + 1;
            }
        }
    }
    const PageGeometry g{400, 600, 1200, 3};
    const std::vector<uint8_t> page = whole_page(g, 5);
    for (uint64_t row = 1; row < g.height; ++row) {
        EXPECT_NE(0, std::memcmp(page.data() + (row - 1) * g.bytes_per_row, page.data() + row * g.bytes_per_row,
                                 g.bytes_per_row))
            << "rows " << row - 1 << " and " << row;
    }
}

TEST(SimulatorPages, PaddingBytesAreZero) {
    const PageGeometry g{10, 4, 37, 3};
    const std::vector<uint8_t> page = whole_page(g, 3);
    for (uint64_t row = 0; row < g.height; ++row)
        for (uint64_t i = 30; i < 37; ++i) EXPECT_EQ(0, page[row * 37 + i]) << "row " << row << " byte " << i;
}

// Switching between geometries and pages must never serve stale cached rows.
TEST(SimulatorPages, CachesFollowGeometryAndPage) {
    const PageGeometry a{120, 80, 360, 3};
    const PageGeometry b{120, 80, 120, 1};
    const std::vector<uint8_t> a1 = whole_page(a, 1);
    const std::vector<uint8_t> b1 = whole_page(b, 1);
    const std::vector<uint8_t> a2 = whole_page(a, 2);
    PageRenderer own;
    for (int round = 0; round < 2; ++round) {
        std::vector<uint8_t> out(page_size(a));
        own.render(a, 1, 0, out.data(), out.size());
        EXPECT_EQ(out, a1);
        own.render(a, 2, 0, out.data(), out.size());
        EXPECT_EQ(out, a2);
        std::vector<uint8_t> grey(page_size(b));
        own.render(b, 1, 0, grey.data(), grey.size());
        EXPECT_EQ(grey, b1);
    }
    EXPECT_EQ(whole_page(a, 1), a1);
}

// The page number is drawn: the box holds exactly the font's dark cells.
TEST(SimulatorPages, PageNumberIsDrawnInBlockDigits) {
    struct Case {
        uint32_t page;
        int dark_cells;  // set bits of the digits in the 5x7 font
    };
    const Case cases[] = {{1, 10}, {8, 17}, {10, 10 + 19}, {2024, 14 + 19 + 14 + 14}};
    for (const Case& c : cases) {
        const PageGeometry g{800, 1000, 800, 1};
        const auto layout = page_layout(g, c.page);
        ASSERT_GT(layout.scale, 0u);
        ASSERT_EQ(layout.digits, std::to_string(c.page));
        const std::vector<uint8_t> page = whole_page(g, c.page);
        uint64_t dark = 0, white = 0;
        for (uint64_t y = layout.box_y; y < layout.box_y + layout.box_height; ++y) {
            for (uint64_t x = layout.box_x; x < layout.box_x + layout.box_width; ++x) {
                const uint8_t v = page[y * g.bytes_per_row + x];
                dark += v == 0;
                white += v == 255;
            }
        }
        EXPECT_EQ(dark, uint64_t(c.dark_cells) * layout.scale * layout.scale) << "page " << c.page;
        EXPECT_EQ(dark + white, layout.box_width * layout.box_height) << "page " << c.page;
    }
}

TEST(SimulatorPages, GenerationIsFastEnoughToOutrunTheRelay) {
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "speed is measured in optimised builds only";
#endif
    const PageGeometry g{5100, 7014, 15300, 3};  // colour A4 at 600 dpi
    std::vector<uint8_t> piece(262144);
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        uint64_t total = 0;
        for (uint64_t at = 0; at < page_size(g); at += piece.size()) {
            const uint64_t n = std::min<uint64_t>(piece.size(), page_size(g) - at);
            page_bytes(g, uint32_t(round + 1), at, piece.data(), n);
            total += n;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::max(best, total / seconds);
    }
    EXPECT_GT(best, 1.5e9) << "bytes per second";
}

}  // namespace
