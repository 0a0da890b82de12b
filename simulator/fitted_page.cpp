#include "simulator/fitted_page.h"

#include <algorithm>
#include <cstring>

namespace kelvra_sim {
namespace {

// Rows longer than this are computed byte by byte: a client may ask for any
// geometry, and tables must never turn an absurd width into an absurd allocation.
constexpr uint64_t max_table_row = 16ull << 20;
constexpr uint64_t white = UINT64_MAX;

uint64_t nearest(uint64_t at, uint64_t source_size, uint64_t placed_size) {
    const unsigned __int128 s = (2 * static_cast<unsigned __int128>(at) + 1) * source_size / (2 * placed_size);
    return std::min<uint64_t>(uint64_t(std::min<unsigned __int128>(s, UINT64_MAX)), source_size - 1);
}

uint8_t grey_of(const uint8_t* rgb) { return uint8_t((77 * rgb[0] + 150 * rgb[1] + 29 * rgb[2]) >> 8); }

// Sample `channel` of a page with `channels` channels from a source pixel.
uint8_t convert(const uint8_t* pixel, uint32_t source_channels, uint64_t channels, uint64_t channel) {
    if (channels == 1) return source_channels == 1 ? pixel[0] : grey_of(pixel);
    return source_channels == 1 ? pixel[0] : pixel[channel % 3];
}

}  // namespace

uint64_t FittedPageRenderer::source_column(uint64_t x) const {
    const uint64_t u = left_ + x;
    return u < visible_width_ ? nearest(u, image_->width, placed_width_) : white;
}

uint64_t FittedPageRenderer::source_row(uint64_t y) const {
    const uint64_t v = top_ + y;
    return v < visible_height_ ? nearest(v, image_->height, placed_height_) : white;
}

uint8_t FittedPageRenderer::byte_at(uint64_t y, uint64_t index) const {
    const uint64_t channels = geometry_.channels;
    if (index >= uint64_t(geometry_.width) * channels) return 0;
    const uint64_t column = source_column(index / channels), source = source_row(y);
    if (column == white || source == white) return 255;
    const uint8_t* pixel = image_->pixels.data() + (source * image_->width + column) * image_->channels;
    return convert(pixel, image_->channels, channels, index % channels);
}

void FittedPageRenderer::prepare(const SourceImage& image, uint32_t dpi, const PageGeometry& geometry) {
    if (image_ == &image && dpi_ == dpi && geometry == geometry_) return;
    image_ = &image;
    dpi_ = dpi;
    geometry_ = geometry;
    row_source_ = UINT64_MAX - 1;
    const bool cut = geometry.document_width > 0;
    const uint64_t document_width = cut ? geometry.document_width : geometry.width;
    const uint64_t document_height = cut ? geometry.document_height : geometry.height;
    left_ = cut ? geometry.left : 0;
    top_ = cut ? geometry.top : 0;
    if (dpi > 0 && geometry.resolution > 0) {
        placed_width_ = scaled(image.width, geometry.resolution, dpi);
        placed_height_ = scaled(image.height, geometry.resolution, dpi);
    } else if (static_cast<unsigned __int128>(document_width) * image.height <=
               static_cast<unsigned __int128>(document_height) * image.width) {
        placed_width_ = document_width;
        placed_height_ = scaled(image.height, document_width, image.width);
    } else {
        placed_height_ = document_height;
        placed_width_ = scaled(image.width, document_height, image.height);
    }
    visible_width_ = std::min(placed_width_, document_width);
    visible_height_ = std::min(placed_height_, document_height);

    const uint64_t row_bytes = uint64_t(geometry.width) * geometry.channels;
    fast_ = geometry.bytes_per_row <= max_table_row && row_bytes <= max_table_row;
    if (!fast_) return;
    if (converted_image_ != &image || converted_channels_ != geometry.channels) {
        const uint64_t pixels = uint64_t(image.width) * image.height;
        converted_.resize(size_t(pixels * geometry.channels));
        uint8_t* out = converted_.data();
        const uint8_t* in = image.pixels.data();
        for (uint64_t p = 0; p < pixels; ++p, in += image.channels)
            for (uint64_t c = 0; c < geometry.channels; ++c) *out++ = convert(in, image.channels, geometry.channels, c);
        converted_channels_ = geometry.channels;
        converted_image_ = &image;
    }
    columns_.resize(geometry.width);
    for (uint64_t x = 0; x < geometry.width; ++x) columns_[x] = source_column(x);
    row_.assign(size_t(geometry.bytes_per_row), 0);
}

const uint8_t* FittedPageRenderer::row(uint64_t y) {
    const uint64_t source = source_row(y);
    if (source == row_source_) return row_.data();
    row_source_ = source;
    const uint64_t channels = geometry_.channels;
    const uint64_t limit = std::min<uint64_t>(geometry_.bytes_per_row, uint64_t(geometry_.width) * channels);
    const uint8_t* line = source == white ? nullptr : converted_.data() + source * image_->width * channels;
    // A row cut inside a pixel keeps that pixel's first samples.
    for (uint64_t i = 0; i < limit;) {
        const uint64_t column = columns_[i / channels];
        const uint64_t n = std::min(channels, limit - i);
        if (line == nullptr || column == white)
            std::memset(row_.data() + i, 255, n);
        else
            std::memcpy(row_.data() + i, line + column * channels, n);
        i += n;
    }
    return row_.data();
}

void FittedPageRenderer::render(const SourceImage& image, uint32_t dpi, const PageGeometry& geometry, uint64_t offset,
                                uint8_t* out, size_t count) {
    if (count == 0) return;
    if (geometry.bytes_per_row == 0 || geometry.channels == 0 || image.pixels.empty()) {
        std::memset(out, 0, count);
        return;
    }
    prepare(image, dpi, geometry);
    const uint64_t bpr = geometry.bytes_per_row;
    uint64_t y = offset / bpr;
    uint64_t skip = offset % bpr;
    if (!fast_) {
        for (size_t i = 0; i < count; ++i) {
            out[i] = byte_at(y, skip);
            if (++skip == bpr) skip = 0, ++y;
        }
        return;
    }
    while (count > 0) {
        const size_t n = size_t(std::min<uint64_t>(bpr - skip, count));
        std::memcpy(out, row(y) + skip, n);
        out += n;
        count -= n;
        skip = 0;
        ++y;
    }
}

}  // namespace kelvra_sim
