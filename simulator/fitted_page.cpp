#include "simulator/fitted_page.h"

#include <algorithm>
#include <cstring>

namespace kelvra_sim {
namespace {

// Rows longer than this are computed byte by byte: a client may ask for any
// geometry, and tables must never turn an absurd width into an absurd allocation.
constexpr uint64_t max_table_row = 16ull << 20;

uint64_t nearest(uint64_t at, uint64_t source_size, uint64_t output_size) {
    if (output_size == 0) return 0;
    const uint64_t s = (2 * at + 1) * source_size / (2 * output_size);
    return std::min(s, source_size - 1);
}

uint8_t grey_of(const uint8_t* rgb) { return uint8_t((77 * rgb[0] + 150 * rgb[1] + 29 * rgb[2]) >> 8); }

// Sample `channel` of a page with `channels` channels from a source pixel.
uint8_t convert(const uint8_t* pixel, uint32_t source_channels, uint64_t channels, uint64_t channel) {
    if (channels == 1) return source_channels == 1 ? pixel[0] : grey_of(pixel);
    return source_channels == 1 ? pixel[0] : pixel[channel % 3];
}

}  // namespace

uint64_t FittedPageRenderer::source_row(uint64_t y) const {
    return nearest(y, image_->height, geometry_.height);
}

uint8_t FittedPageRenderer::byte_at(uint64_t y, uint64_t index) const {
    const uint64_t channels = geometry_.channels;
    if (index >= uint64_t(geometry_.width) * channels) return 0;
    const uint64_t x = nearest(index / channels, image_->width, geometry_.width);
    const uint8_t* pixel = image_->pixels.data() + (source_row(y) * image_->width + x) * image_->channels;
    return convert(pixel, image_->channels, channels, index % channels);
}

void FittedPageRenderer::prepare(const SourceImage& image, const PageGeometry& geometry) {
    const bool same_image = image_ == &image;
    const bool same_geometry = same_image && geometry.width == geometry_.width && geometry.height == geometry_.height &&
                               geometry.bytes_per_row == geometry_.bytes_per_row &&
                               geometry.channels == geometry_.channels;
    if (same_geometry) return;
    image_ = &image;
    geometry_ = geometry;
    row_source_ = UINT64_MAX;
    const uint64_t row_bytes = uint64_t(geometry.width) * geometry.channels;
    fast_ = geometry.bytes_per_row <= max_table_row && row_bytes <= max_table_row;
    if (!fast_) return;

    if (!same_image || converted_channels_ != geometry.channels) {
        const uint64_t pixels = uint64_t(image.width) * image.height;
        converted_.resize(size_t(pixels * geometry.channels));
        uint8_t* out = converted_.data();
        const uint8_t* in = image.pixels.data();
        for (uint64_t p = 0; p < pixels; ++p, in += image.channels)
            for (uint64_t c = 0; c < geometry.channels; ++c) *out++ = convert(in, image.channels, geometry.channels, c);
        converted_channels_ = geometry.channels;
    }
    columns_.resize(geometry.width);
    for (uint64_t x = 0; x < geometry.width; ++x) columns_[x] = uint32_t(nearest(x, image.width, geometry.width));
    row_.assign(size_t(geometry.bytes_per_row), 0);
}

const uint8_t* FittedPageRenderer::row(uint64_t y) {
    const uint64_t source = source_row(y);
    if (source == row_source_) return row_.data();
    row_source_ = source;
    const uint64_t channels = geometry_.channels;
    const uint64_t limit = geometry_.bytes_per_row;
    const uint8_t* line = converted_.data() + source * image_->width * channels;
    const uint64_t whole = std::min<uint64_t>(geometry_.width, limit / channels);
    uint8_t* out = row_.data();
    if (channels == 1) {
        for (uint64_t x = 0; x < whole; ++x) out[x] = line[columns_[x]];
    } else if (channels == 3) {
        for (uint64_t x = 0; x < whole; ++x) std::memcpy(out + 3 * x, line + 3 * uint64_t(columns_[x]), 3);
    } else {
        for (uint64_t x = 0; x < whole; ++x) std::memcpy(out + channels * x, line + channels * columns_[x], channels);
    }
    // A row cut inside a pixel keeps that pixel's first samples.
    for (uint64_t i = whole * channels; i < limit && i < uint64_t(geometry_.width) * channels; ++i)
        out[i] = line[columns_[i / channels] * channels + i % channels];
    return row_.data();
}

void FittedPageRenderer::render(const SourceImage& image, const PageGeometry& geometry, uint64_t offset,
                                uint8_t* out, size_t count) {
    if (count == 0) return;
    if (geometry.bytes_per_row == 0 || geometry.channels == 0 || image.pixels.empty()) {
        std::memset(out, 0, count);
        return;
    }
    prepare(image, geometry);
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
