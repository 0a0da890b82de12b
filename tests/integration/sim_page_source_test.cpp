// Pages from image files, which no backend test uses: PNM and PNG files of each
// colour layout, fitted to the scan (the pixel under each page pixel's centre,
// grey and colour converted), and a page's own file before the default. The
// files are written here (PNG with stored deflate blocks) from pixel values
// the test chose, and the expected bytes are computed from those values.
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

using namespace kelvra_test;

namespace {

using Value = uint8_t (*)(uint32_t x, uint32_t y, uint32_t channel);
uint8_t sample(uint32_t x, uint32_t y, uint32_t c) { return uint8_t(x * 37 + y * 91 + c * 53 + 11); }
uint8_t indexed(uint32_t x, uint32_t y, uint32_t c) {  // palette entry i is (i, 255 - i, 3 i)
    return uint8_t(c == 0 ? sample(x, y, 0) : c == 1 ? 255 - sample(x, y, 0) : 3 * sample(x, y, 0));
}
uint8_t dark(uint32_t, uint32_t, uint32_t) { return 10; }

// Rows of `channels` samples a pixel, then `alpha` bytes the page must drop; a
// PNG row starts with filter 0, and at depth 16 a sample's low byte is dropped.
std::string raster(uint32_t w, uint32_t h, uint32_t channels, Value value, int png_depth = 0, uint32_t alpha = 0) {
    std::string out;
    for (uint32_t y = 0; y < h; ++y) {
        if (png_depth != 0) out += '\0';
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t c = 0; c < channels + alpha; ++c) {
                out += char(c < channels ? value(x, y, c) : x * 7);
                if (png_depth == 16) out += char(~x);
            }
    }
    return out;
}

std::string pnm(uint32_t w, uint32_t h, uint32_t channels, Value value) {
    return (channels == 1 ? "P5" : "P6") + ("\n# a test's\n" + std::to_string(w)) + " " + std::to_string(h) +
           "\n255\n" + raster(w, h, channels, value);
}

std::string be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string chunk(const std::string& type, const std::string& data) {
    uint32_t crc = ~0u;
    for (unsigned char byte : type + data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return be32(uint32_t(data.size())) + type + data + be32(~crc);
}

std::string png(uint32_t w, uint32_t h, int depth, int type, uint32_t channels, Value value, uint32_t alpha = 0) {
    const std::string raw = raster(w, h, channels, value, depth, alpha);
    std::string zlib = "\x78\x01", palette;  // stored blocks: no compressor needed
    for (size_t at = 0, n; at < raw.size(); at += n) {
        n = std::min<size_t>(65535, raw.size() - at);
        zlib += std::string{char(at + n == raw.size()), char(n), char(n >> 8), char(~n), char(~n >> 8)} + raw.substr(at, n);
    }
    uint32_t a = 1, b = 0;
    for (unsigned char byte : raw) b = (b + (a = (a + byte) % 65521)) % 65521;
    for (uint32_t i = 0; i < 256 && type == 3; ++i) palette += {char(i), char(255 - i), char(3 * i)};
    return "\x89PNG\r\n\x1a\n" + chunk("IHDR", be32(w) + be32(h) + char(depth) + char(type) + std::string(3, '\0')) +
           (palette.empty() ? "" : chunk("PLTE", palette)) + chunk("IDAT", zlib + be32(b << 16 | a)) + chunk("IEND", "");
}

struct Picture {
    uint32_t width, height, channels;
    Value value;  // the pixels as the page must show them
};

std::string fitted(const Picture& p, uint32_t width, uint32_t height, bool colour) {
    std::string out;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t sx = uint32_t((x + 0.5) * p.width / width), sy = uint32_t((y + 0.5) * p.height / height);
            uint8_t v[3];
            for (uint32_t c = 0; c < 3; ++c) v[c] = p.value(sx, sy, p.channels == 1 ? 0 : c);
            if (colour) out.append(reinterpret_cast<const char*>(v), 3);
            else out += char(p.channels == 1 ? v[0] : (77 * v[0] + 150 * v[1] + 29 * v[2]) >> 8);  // the chart's weights
        }
    return out;
}

TEST(SimPageSource, FilesAreFittedToTheScanAndAPagesOwnFileComesFirst) {
    const std::string page_2 = sim_temp_path("dark.pgm");
    std::ofstream(page_2) << pnm(4, 3, 1, dark);
    const struct {
        std::string file;
        Picture picture;
        uint32_t width, height;
        bool colour, feeder;  // a feeder job's page 2 has a file of its own
    } cases[] = {
        {pnm(23, 17, 3, sample), {23, 17, 3, sample}, 23, 17, true, false},
        {pnm(23, 17, 3, sample), {23, 17, 3, sample}, 23, 17, false, false},
        {pnm(7, 5, 1, sample), {7, 5, 1, sample}, 20, 13, true, false},
        {png(40, 30, 8, 2, 3, sample), {40, 30, 3, sample}, 10, 6, false, false},
        {png(23, 17, 8, 4, 1, sample, 1), {23, 17, 1, sample}, 23, 17, false, false},
        {png(23, 17, 16, 6, 3, sample, 1), {23, 17, 3, sample}, 23, 17, true, false},
        {png(23, 17, 8, 3, 1, sample), {23, 17, 3, indexed}, 23, 17, true, false},
        {png(2, 2, 8, 2, 3, sample), {2, 2, 3, sample}, 301, 200, true, false},
        {pnm(7, 5, 1, sample), {7, 5, 1, sample}, 5, 3, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string path = sim_temp_path("picture");
        std::ofstream(path, std::ios::binary) << c.file;
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect({"<scenario piece_size=\"7001\"><source file=\"" + path + "\"/>" +
                                               (c.feeder ? "<source page=\"2\" file=\"" + page_2 + "\"/>" : "") +
                                               "</scenario>", {}, {}}));
        std::string reply;
        ASSERT_TRUE(sim.exchange(3, sim_scan_parameter(c.feeder, c.colour ? 2 : 1, c.width, c.height), reply) &&
                    sim.exchange(4, "", reply));
        for (uint32_t number = 1; number <= (c.feeder ? 3 : 1); ++number) {
            std::string page;
            for (uint32_t kind = 2; sim.exchange(6, "", reply, &kind) && kind == 2;) page += reply;
            const Picture own{4, 3, 1, dark};
            EXPECT_TRUE(page == fitted(number == 2 ? own : c.picture, c.width, c.height, c.colour)) << "page " << number;
        }
        ::unlink(path.c_str());
    }
    ::unlink(page_2.c_str());
}

}  // namespace
