#include "simulator/image_file.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace kelvra_sim {
namespace {

bool size_ok(const SourceImage& image, std::string& error) {
    if (image.width == 0 || image.height == 0) {
        error = "the image is empty (" + std::to_string(image.width) + "x" + std::to_string(image.height) + ")";
        return false;
    }
    if (uint64_t(image.width) * image.height > max_source_pixels) {
        error = "the image is too large (" + std::to_string(image.width) + "x" + std::to_string(image.height) +
                " pixels; at most " + std::to_string(max_source_pixels) + ")";
        return false;
    }
    return true;
}

// ------------------------------------------------------------------ PNM

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Reads the next header number, skipping white space and # comments.
bool pnm_number(const std::string& data, size_t& at, uint64_t& value) {
    for (;;) {
        while (at < data.size() && is_space(data[at])) ++at;
        if (at < data.size() && data[at] == '#') {
            while (at < data.size() && data[at] != '\n') ++at;
            continue;
        }
        break;
    }
    if (at >= data.size() || data[at] < '0' || data[at] > '9') return false;
    value = 0;
    while (at < data.size() && data[at] >= '0' && data[at] <= '9') {
        value = value * 10 + uint64_t(data[at] - '0');
        if (value > UINT32_MAX) return false;
        ++at;
    }
    return true;
}

bool load_pnm(const std::string& data, SourceImage& image, std::string& error) {
    image.channels = data[1] == '5' ? 1 : 3;
    size_t at = 2;
    uint64_t width = 0, height = 0, maxval = 0;
    if (!pnm_number(data, at, width) || !pnm_number(data, at, height) || !pnm_number(data, at, maxval)) {
        error = "the PNM header is not \"P5|P6 width height maxval\"";
        return false;
    }
    if (maxval == 0 || maxval > 255) {
        error = "PNM maxval " + std::to_string(maxval) + " is not from 1 to 255 (only 8-bit files are read)";
        return false;
    }
    // Exactly one white space character ends the header.
    if (at >= data.size() || !is_space(data[at])) {
        error = "the PNM header does not end with white space";
        return false;
    }
    ++at;
    image.width = uint32_t(width);
    image.height = uint32_t(height);
    if (!size_ok(image, error)) return false;
    const uint64_t size = width * height * image.channels;
    if (data.size() - at < size) {
        error = "the PNM raster is short: " + std::to_string(data.size() - at) + " of " + std::to_string(size) +
                " bytes";
        return false;
    }
    image.pixels.assign(data.begin() + std::ptrdiff_t(at), data.begin() + std::ptrdiff_t(at + size));
    if (maxval != 255)
        for (uint8_t& v : image.pixels) v = uint8_t((std::min<uint64_t>(v, maxval) * 255 + maxval / 2) / maxval);
    return true;
}

// ------------------------------------------------------------------ PNG

struct PngFailure {
    char message[256] = "";
};

void png_failed(png_structp png, png_const_charp message) {
    auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
    std::snprintf(failure->message, sizeof failure->message, "%s", message);
    png_longjmp(png, 1);
}

void png_warned(png_structp, png_const_charp) {}

// Kept free of objects with destructors between setjmp and the reads, so
// that libpng's longjmp on an error skips nothing that needs cleaning up.
bool read_png(FILE* file, SourceImage& image, std::vector<png_bytep>& rows, PngFailure& failure) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &failure, png_failed, png_warned);
    if (png == nullptr) {
        std::snprintf(failure.message, sizeof failure.message, "libpng could not start");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    image.width = png_get_image_width(png, info);
    image.height = png_get_image_height(png, info);
    if (image.width == 0 || image.height == 0 || uint64_t(image.width) * image.height > max_source_pixels) {
        std::snprintf(failure.message, sizeof failure.message, "the image is %ux%u pixels (at most %llu pixels)",
                      image.width, image.height, static_cast<unsigned long long>(max_source_pixels));
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    // Every colour type down to 8-bit grey or RGB, sample values untouched
    // otherwise (no gamma or colour management).
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_byte channels = png_get_channels(png, info);
    if (channels != 1 && channels != 3) {
        std::snprintf(failure.message, sizeof failure.message, "unexpected %u channels after conversion", channels);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    image.channels = channels;
    image.pixels.resize(size_t(image.width) * image.height * channels);
    rows.resize(image.height);
    for (uint32_t y = 0; y < image.height; ++y) rows[y] = image.pixels.data() + size_t(y) * image.width * channels;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace

bool load_image_file(const std::string& path, SourceImage& image, std::string& error) {
    image = SourceImage{};
    image.path = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open the image " + path + ": " + std::strerror(errno);
        return false;
    }
    char magic[8] = {};
    in.read(magic, sizeof magic);
    const std::streamsize got = in.gcount();
    if (got >= 2 && magic[0] == 'P' && (magic[1] == '5' || magic[1] == '6')) {
        in.seekg(0);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!load_pnm(data, image, error)) {
            error = path + ": " + error;
            return false;
        }
        return true;
    }
    if (got == 8 && png_sig_cmp(reinterpret_cast<png_const_bytep>(magic), 0, 8) == 0) {
        in.close();
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
        if (!file) {
            error = "cannot open the image " + path + ": " + std::strerror(errno);
            return false;
        }
        std::vector<png_bytep> rows;
        PngFailure failure;
        if (!read_png(file.get(), image, rows, failure)) {
            error = path + ": not a readable PNG image: " + failure.message;
            return false;
        }
        return true;
    }
    error = path + ": neither a binary PNM (P5, P6) nor a PNG image";
    return false;
}

}  // namespace kelvra_sim
