// A page whose content comes from an image file, fitted to the scan's
// geometry: scaled by nearest neighbour to width x height and converted to
// the page's channel count.
//
// Output pixel (x, y) takes source pixel
//   (min(srcW - 1, (2x + 1) * srcW / (2 * width)), min(srcH - 1, (2y + 1) * srcH / (2 * height)))
// in integer arithmetic: the source pixel under the output pixel's centre.
// Grey from RGB is (77 R + 150 G + 29 B) >> 8, the test chart's own weights;
// RGB from grey repeats the grey value. Bytes past width * channels in a row
// are 0; rows past the page's height repeat the image's last row (the
// "extra" bytes of a page fault).
#pragma once

#include "simulator/image_file.h"
#include "simulator/pages.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra_sim {

class FittedPageRenderer {
public:
    // Writes bytes [offset, offset + count) of `image` fitted to `geometry`.
    void render(const SourceImage& image, const PageGeometry& geometry, uint64_t offset, uint8_t* out,
                size_t count);

private:
    void prepare(const SourceImage& image, const PageGeometry& geometry);
    uint64_t source_row(uint64_t y) const;
    uint8_t byte_at(uint64_t y, uint64_t index) const;  // slow path, no tables
    const uint8_t* row(uint64_t y);                     // the whole output row, cached by source row

    const SourceImage* image_ = nullptr;
    PageGeometry geometry_{};
    bool fast_ = false;
    std::vector<uint8_t> converted_;  // the image at the page's channel count
    uint32_t converted_channels_ = 0;
    std::vector<uint32_t> columns_;   // source column of every output column
    std::vector<uint8_t> row_;        // bytes_per_row bytes of the cached row
    uint64_t row_source_ = UINT64_MAX;
};

}  // namespace kelvra_sim
