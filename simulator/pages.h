// Deterministic test-chart pages of the simulator.
//
// Every byte of every page is a pure function of (page number, byte offset in
// the page, geometry), so a test can compute the bytes any read reply should
// carry. A page is cut from a document: the scanner unit's whole area at the
// page's resolution, on which the test chart is drawn at the document's
// scale, so that a scan of part of the area shows that part of the chart.
// The chart: colour bars, a gradient and a grey wedge in three horizontal
// bands, the page number in large block digits in a white box at the centre
// (followed by F or B on the front and back of a duplex sheet), a
// page-coloured stripe at the left edge (so that every row of page P differs
// from the same row of page P+1 where the page shows that edge) and a row
// ruler at the right edge (so that rows differ from each other). Outside the
// document the page is white.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvra_sim {

enum class Side : uint8_t { single, front, back };

struct PageGeometry {
    uint32_t width = 0;          // pixels per row
    uint32_t height = 0;         // rows per page
    uint64_t bytes_per_row = 0;  // may exceed width * channels (zero padding) or cut a row short
    uint32_t channels = 1;       // 1 grey, 3 RGB; any other count repeats R, G, B
    // The document the page is cut from, in pixels at the page's resolution,
    // and the page's top-left corner on it; a document_width of 0 makes the
    // page its whole document.
    uint32_t document_width = 0;
    uint32_t document_height = 0;
    uint32_t left = 0;
    uint32_t top = 0;
    Side side = Side::single;
    uint32_t resolution = 0;  // of the page in dpi, for an image placed at its own; 0: unknown

    bool operator==(const PageGeometry&) const = default;
};

// `value` × `to` / `from` rounded half up, in integers (0 when `from` is 0).
uint64_t scaled(uint64_t value, uint64_t to, uint64_t from);

// Places a scan's page on its document: the unit's whole area of
// `unit_width` x `unit_height` pixels at `basic_resolution`, the scan area's
// corner at (x, y) pixels at `input_resolution`, the page at
// `output_resolution`. All sizes are scaled, so rounded the same way as the
// page's own; values beyond 32 bits stop at the largest. With any of the
// three resolutions 0 the page stays its own document.
void place_on_document(PageGeometry& page, uint32_t unit_width, uint32_t unit_height, uint32_t basic_resolution,
                       uint32_t input_resolution, uint32_t x, uint32_t y, uint32_t output_resolution);

// Where the parts of the chart sit on the document (pixels unless said otherwise).
struct PageLayout {
    uint64_t width = 0;   // of the document
    uint64_t height = 0;  // of the document
    uint64_t left = 0, top = 0, page_width = 0;  // the page on it
    uint64_t channels = 0;
    uint64_t bytes_per_row = 0;
    uint64_t row_bytes = 0;         // page_width * channels
    uint64_t stripe = 0;            // width of the page stripe at the left and of the ruler
    uint64_t ruler_x = UINT64_MAX;  // first column of the row ruler, when there is room for one
    std::string text;               // the page number as drawn, and the side's letter
    uint64_t scale = 0;             // pixels per font cell; 0 when the document is too small for digits
    uint64_t box_x = 0, box_y = 0, box_width = 0, box_height = 0;
};

PageLayout page_layout(const PageGeometry& geometry, uint32_t page);

// height * bytes_per_row.
uint64_t page_size(const PageGeometry& geometry);

// Writes bytes [offset, offset + count) of page `page` into `out`. Offsets at
// or beyond page_size continue with the rows below the page (the simulator
// uses them for the "extra" bytes of a fault). Fast: whole rows are copied
// from cached row templates; the cache is per thread and follows the last
// geometry and page asked for.
void page_bytes(const PageGeometry& geometry, uint32_t page, uint64_t offset, uint8_t* out,
                size_t count);

// The same bytes, one at a time, computed from first principles without any
// cache. Slow; it is the reference the fast path is checked against.
uint8_t page_byte_reference(const PageGeometry& geometry, uint32_t page, uint64_t offset);

// The fast generator behind page_bytes, for a caller that wants its own cache
// (the simulator keeps one per connection).
class PageRenderer {
public:
    void render(const PageGeometry& geometry, uint32_t page, uint64_t offset, uint8_t* out,
                size_t count);

private:
    void prepare(const PageGeometry& geometry, uint32_t page);
    void render_row(uint64_t row, uint8_t* out) const;  // one whole row of bytes_per_row bytes

    bool ready_ = false;
    bool fast_ = false;          // templates exist (rows of a sane size)
    PageGeometry geometry_{};
    uint32_t page_ = 0;
    PageLayout layout_;
    std::vector<uint8_t> bands_[3];     // each bytes_per_row long, padding included
    std::vector<uint8_t> blank_;        // a row below the document
    std::vector<uint8_t> box_rows_[8];  // the digit box where the page shows it: 7 font rows + the margin row
    uint64_t box_from_ = 0;             // first document column of those rows
    std::vector<uint8_t> left_stripe_;
    std::vector<uint8_t> scratch_;   // one row, for rows cut short and partial rows
};

}  // namespace kelvra_sim
