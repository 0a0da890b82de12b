// A page whose content comes from an image file: the image lies at the
// document's top-left corner, either at its own resolution (the source's dpi)
// or fitted to the document keeping its aspect ratio (the largest size that
// fits), and the page is cut from the document like a chart page. Outside the
// image the document is white.
//
// The image covers pw x ph document pixels; document pixel (u, v) inside it
// takes source pixel
//   (min(W - 1, (2u + 1) * W / (2 * pw)), min(H - 1, (2v + 1) * H / (2 * ph)))
// in integer arithmetic (nearest neighbour: the source pixel under the
// document pixel's centre), for an image of W x H. Fitted, pw x ph is the
// document's width and H * width / W rounded (or its height and
// W * height / H, when that is what fits); at its own resolution, W and H
// scaled from the image's dpi to the page's. Grey from RGB is
// (77 R + 150 G + 29 B) >> 8, the test chart's own weights; RGB from grey
// repeats the grey value. Bytes past width * channels in a row are 0.
#pragma once

#include "simulator/image_file.h"
#include "simulator/pages.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra_sim {

class FittedPageRenderer {
public:
    // Writes bytes [offset, offset + count) of the page of `geometry` cut
    // from a document showing `image` (placed at `dpi`; 0: fitted).
    void render(const SourceImage& image, uint32_t dpi, const PageGeometry& geometry, uint64_t offset, uint8_t* out,
                size_t count);

private:
    void prepare(const SourceImage& image, uint32_t dpi, const PageGeometry& geometry);
    uint64_t source_column(uint64_t x) const;  // of page column x; UINT64_MAX: white
    uint64_t source_row(uint64_t y) const;     // of page row y; UINT64_MAX: white
    uint8_t byte_at(uint64_t y, uint64_t index) const;  // slow path, no tables
    const uint8_t* row(uint64_t y);                     // the whole output row, cached by source row

    const SourceImage* image_ = nullptr;
    uint32_t dpi_ = 0;
    PageGeometry geometry_{};
    uint64_t left_ = 0, top_ = 0;
    uint64_t placed_width_ = 0, placed_height_ = 0;    // the image on the document
    uint64_t visible_width_ = 0, visible_height_ = 0;  // of it, what lies on the document
    bool fast_ = false;
    std::vector<uint8_t> converted_;  // the image at the page's channel count
    const SourceImage* converted_image_ = nullptr;
    uint32_t converted_channels_ = 0;
    std::vector<uint64_t> columns_;   // source column of every output column
    std::vector<uint8_t> row_;        // bytes_per_row bytes of the cached row
    uint64_t row_source_ = UINT64_MAX - 1;
};

}  // namespace kelvra_sim
