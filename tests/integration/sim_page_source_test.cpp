// Pages whose content comes from image files: PNM and PNG files of every
// colour layout arrive byte for byte, are converted between grey and colour,
// scaled to the scan's size, chosen per page, and bad files stop the start.
//
// The files are written here by code of the test's own (a PNG with stored,
// uncompressed deflate blocks), and the expected bytes are computed from the
// pixel values the test chose, not by the simulator's decoder.
#include "tests/support/sim_client.h"
#include "tests/support/sim_images.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace kelvra_test;

namespace {

// ---------------------------------------------------------------- the pictures

// The test's picture: any pattern whose neighbouring pixels and channels differ.
uint8_t sample(uint32_t x, uint32_t y, uint32_t channel) { return uint8_t(x * 37 + y * 91 + channel * 53 + 11); }

uint8_t grey(uint8_t r, uint8_t g, uint8_t b) { return uint8_t((77 * r + 150 * g + 29 * b) >> 8); }

std::vector<uint8_t> picture(uint32_t width, uint32_t height, uint32_t channels) {
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t c = 0; c < channels; ++c) out.push_back(sample(x, y, c));
    return out;
}

// What a page of the same size as the picture carries, in grey or colour,
// when the file holds the picture in `file_channels` channels.
std::string unscaled(uint32_t width, uint32_t height, uint32_t file_channels, bool colour) {
    std::string out;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            if (file_channels == 1) {
                out.append(colour ? 3 : 1, char(sample(x, y, 0)));
            } else if (colour) {
                for (uint32_t c = 0; c < 3; ++c) out += char(sample(x, y, c));
            } else {
                out += char(grey(sample(x, y, 0), sample(x, y, 1), sample(x, y, 2)));
            }
        }
    return out;
}

constexpr uint32_t W = 23, H = 17;  // odd sizes: nothing lines up by chance

struct FileCase {
    const char* label;
    std::function<std::string()> file;  // the file's bytes
    uint32_t file_channels;             // the picture's channels in the file
    bool colour_scan;
    std::function<std::string()> expected;  // default: unscaled()
};

// The picture as a PNG; 16-bit samples carry a low byte the page must drop,
// and `extra` bytes per pixel stand for alpha.
std::string png_of(uint32_t width, uint32_t height, uint32_t channels, int colour_type, int bit_depth = 8,
                   size_t extra = 0, const std::string& palette = {}) {
    std::vector<std::string> rows;
    for (uint32_t y = 0; y < height; ++y) {
        std::string row;
        for (uint32_t x = 0; x < width; ++x) {
            for (uint32_t c = 0; c < channels; ++c) {
                row += char(sample(x, y, c));
                if (bit_depth == 16) row += char(0xFF - sample(x, y, c));
            }
            row.append(extra, char(x * 7));
        }
        rows.push_back(row);
    }
    return png(width, height, bit_depth, colour_type, rows, palette);
}

// Palette index i has the colour (i, 255 - i, 3 i).
std::string palette() {
    std::string out;
    for (int i = 0; i < 256; ++i) out += {char(i), char(255 - i), char(3 * i)};
    return out;
}

const FileCase file_cases[] = {
    {"pnm_colour_on_colour", [] { return pnm('6', W, H, picture(W, H, 3)); }, 3, true, {}},
    {"pnm_grey_on_grey", [] { return pnm('5', W, H, picture(W, H, 1)); }, 1, false, {}},
    {"pnm_colour_on_grey", [] { return pnm('6', W, H, picture(W, H, 3)); }, 3, false, {}},
    {"pnm_grey_on_colour", [] { return pnm('5', W, H, picture(W, H, 1)); }, 1, true, {}},
    {"pnm_maxval_15_is_stretched",
     [] {
         std::vector<uint8_t> samples(W * H);
         for (uint32_t i = 0; i < W * H; ++i) samples[i] = uint8_t(i % 16);
         return pnm('5', W, H, samples, 15);
     },
     1, false,
     [] {
         std::string out;
         for (uint32_t i = 0; i < W * H; ++i) out += char((i % 16) * 17);  // 15 -> 255 in steps of 17
         return out;
     }},
    // Grey and colour conversions are shared by both formats.
    {"png_rgb_on_colour", [] { return png_of(W, H, 3, 2); }, 3, true, {}},
    {"png_grey_on_grey", [] { return png_of(W, H, 1, 0); }, 1, false, {}},
    {"png_alpha_is_dropped", [] { return png_of(W, H, 3, 6, 8, 1); }, 3, true, {}},
    {"png_grey_alpha_is_dropped", [] { return png_of(W, H, 1, 4, 8, 1); }, 1, false, {}},
    {"png_16_bit_keeps_the_high_byte", [] { return png_of(W, H, 3, 2, 16); }, 3, true, {}},
    {"png_palette_is_expanded", [] { return png_of(W, H, 1, 3, 8, 0, palette()); }, 3, true,
     [] {
         std::string out;
         for (uint32_t y = 0; y < H; ++y)
             for (uint32_t x = 0; x < W; ++x) out += palette().substr(3 * sample(x, y, 0), 3);
         return out;
     }},
};

// ---------------------------------------------------------------- a flatbed page

std::string source_scenario(const std::string& sources, const std::string& attributes = "") {
    return "<scenario " + attributes + ">" + sources + "</scenario>";
}

// Opens fb-a4 (or mfp-adf for feeder jobs) and starts a scan of width x height.
std::string start_scan(SimProcess& sim, uint32_t placement, bool colour, uint32_t width, uint32_t height) {
    return sim_start_job(sim, placement == 0 ? "fb-a4" : "mfp-adf",
                         sim_scan_request(placement, 0, colour ? 2 : 1, width, height));
}

class TempFile {
public:
    explicit TempFile(const std::string& stem, const std::string& bytes) : path(sim_temp_path(stem)) {
        write_bytes(path, bytes);
    }
    ~TempFile() { ::unlink(path.c_str()); }
    const std::string path;
};

class SimPageSourceFile : public testing::TestWithParam<FileCase> {};

TEST_P(SimPageSourceFile, PageOfTheFilesSizeArrivesWithTheFilesPixels) {
    const FileCase& c = GetParam();
    TempFile file("page", c.file());
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(source_scenario("<source file=\"" + file.path + "\"/>", "piece_size=\"500\"")));
    ASSERT_EQ("0", start_scan(sim, 0, c.colour_scan, W, H));
    const SimPage page = sim_read_page(sim);
    ASSERT_TRUE(page.ok);
    const std::string expected = c.expected ? c.expected() : unscaled(W, H, c.file_channels, c.colour_scan);
    ASSERT_EQ(expected.size(), page.bytes.size());
    EXPECT_TRUE(page.bytes == expected) << "the page differs from the file's pixels";
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimPageSourceFile, testing::ValuesIn(file_cases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- scaling

// Each page pixel shows the file's pixel under its centre.
struct ScaleCase {
    const char* label;
    std::function<std::string()> file;
    uint32_t width, height;  // of the page
    bool colour;
    std::function<uint32_t(uint32_t)> column, row;  // the file's pixel for a page pixel
};

const ScaleCase scale_cases[] = {
    // 7x5 onto 20x13: column x shows floor((x + 0.5) * 7 / 20), row y floor((y + 0.5) * 5 / 13).
    {"enlarged", [] { return pnm('6', 7, 5, picture(7, 5, 3)); }, 20, 13, true,
     [](uint32_t x) { return std::vector<uint32_t>{0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6}[x]; },
     [](uint32_t y) { return std::vector<uint32_t>{0, 0, 0, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4}[y]; }},
    // 40x30 onto 10x6: steps of 4 columns and 5 rows, centres at 4x + 2 and 5y + 2.
    {"reduced_and_grey", [] { return png_of(40, 30, 3, 2); },
     10, 6, false, [](uint32_t x) { return 4 * x + 2; }, [](uint32_t y) { return 5 * y + 2; }},
    // 2x2 onto a page of several pieces; column 150's centre, 150.5 of 301, is past the middle.
    {"tiny_file_on_a_large_page", [] { return pnm('6', 2, 2, picture(2, 2, 3)); }, 301, 200, true,
     [](uint32_t x) { return x < 150 ? 0u : 1u; }, [](uint32_t y) { return y < 100 ? 0u : 1u; }},
};

class SimPageSourceScaling : public testing::TestWithParam<ScaleCase> {};

TEST_P(SimPageSourceScaling, IsByNearestNeighbour) {
    const ScaleCase& c = GetParam();
    TempFile file("scaled", c.file());
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(source_scenario("<source file=\"" + file.path + "\"/>", "piece_size=\"7001\"")));
    ASSERT_EQ("0", start_scan(sim, 0, c.colour, c.width, c.height));
    std::string expected;
    for (uint32_t y = 0; y < c.height; ++y)
        for (uint32_t x = 0; x < c.width; ++x) {
            const uint32_t sx = c.column(x), sy = c.row(y);
            if (c.colour) {
                for (uint32_t channel = 0; channel < 3; ++channel) expected += char(sample(sx, sy, channel));
            } else {
                expected += char(grey(sample(sx, sy, 0), sample(sx, sy, 1), sample(sx, sy, 2)));
            }
        }
    const SimPage page = sim_read_page(sim);
    ASSERT_EQ(expected.size(), page.bytes.size());
    const size_t pixel = size_t(std::mismatch(expected.begin(), expected.end(), page.bytes.begin()).first -
                                expected.begin()) / (c.colour ? 3 : 1);
    EXPECT_TRUE(page.bytes == expected) << "first wrong page pixel " << pixel % c.width << "," << pixel / c.width;
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimPageSourceScaling, testing::ValuesIn(scale_cases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- which page

std::string chart(uint32_t width, uint32_t height, uint32_t page) { return sim_chart(width, height, 1, page); }

TEST(SimPageSourcePages, APageOfItsOwnWinsOverTheDefaultAndOthersKeepTheChart) {
    // Two files of the page's own size, grey, told apart by their values.
    std::vector<uint8_t> dark(W * H, 10), light(W * H, 240);
    TempFile second("second.pgm", pnm('5', W, H, dark));
    TempFile fallback("fallback.pgm", pnm('5', W, H, light));
    const std::string own = std::string(W * H, char(10)), other = std::string(W * H, char(240));
    struct Case {
        std::string sources;
        std::vector<std::string> pages;  // the three pages of the feeder job
    };
    const Case cases[] = {
        {"<source page=\"2\" file=\"" + second.path + "\"/>", {chart(W, H, 1), own, chart(W, H, 3)}},
        {"<source file=\"" + fallback.path + "\"/><source page=\"2\" file=\"" + second.path + "\"/>",
         {other, own, other}},
        {"<source page=\"3\" file=\"" + fallback.path + "\"/><source page=\"1\" file=\"" + second.path + "\"/>",
         {own, chart(W, H, 2), other}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sources);
        SimProcess sim;
        ASSERT_TRUE(sim.start_and_connect(source_scenario(c.sources)));
        ASSERT_EQ("0", start_scan(sim, 1, false, W, H));
        for (size_t i = 0; i < 3; ++i) {
            const SimPage page = sim_read_page(sim);
            ASSERT_TRUE(page.ok);
            EXPECT_TRUE(page.bytes == c.pages[i]) << "page " << i + 1;
        }
    }
}

// ---------------------------------------------------------------- bad sources

struct BadSource {
    const char* label;
    std::string bytes;    // the file's content; empty: no file at all
    std::string sources;  // FILE stands for the file's path
    const char* message;  // part of the error
};

const std::string one_pixel = pnm('5', 1, 1, {7});

const BadSource bad_sources[] = {
    {"missing_file", "", "<source file=\"FILE\"/>", "cannot open"},
    {"neither_pnm_nor_png", "GIF89a....", "<source file=\"FILE\"/>", "neither"},
    {"ascii_pnm", "P2\n2 2\n255\n1 2 3 4\n", "<source file=\"FILE\"/>", "neither"},
    {"pnm_16_bit", pnm('5', 2, 2, std::vector<uint8_t>(8, 1), 65535), "<source file=\"FILE\"/>", "maxval"},
    {"pnm_short_raster", pnm('6', 4, 4, std::vector<uint8_t>(40, 1)), "<source file=\"FILE\"/>", "short"},
    {"pnm_empty", pnm('5', 0, 3, {}), "<source file=\"FILE\"/>", "empty"},
    {"png_cut_short", png(4, 4, 8, 0, std::vector<std::string>(4, "abcd")).substr(0, 40), "<source file=\"FILE\"/>",
     "PNG"},
    {"page_zero", one_pixel, "<source page=\"0\" file=\"FILE\"/>", "numbered from 1"},
    {"unknown_attribute", one_pixel, "<source pages=\"1\" file=\"FILE\"/>", "no attribute"},
    {"two_for_one_page", one_pixel, "<source page=\"2\" file=\"FILE\"/><source page=\"2\" file=\"FILE\"/>",
     "two <source>s"},
    {"two_defaults", one_pixel, "<source file=\"FILE\"/><source file=\"FILE\"/>", "only one <source>"},
};

class SimBadPageSource : public testing::TestWithParam<BadSource> {};

TEST_P(SimBadPageSource, RefusesToStartAndNamesTheProblem) {
    const BadSource& c = GetParam();
    const std::string path = sim_temp_path("bad-source");
    if (!c.bytes.empty()) write_bytes(path, c.bytes);
    std::string sources = c.sources;
    for (size_t at = sources.find("FILE"); at != std::string::npos; at = sources.find("FILE", at))
        sources.replace(at, 4, path);
    std::string err;
    EXPECT_TRUE(sim_refuses_to_start(SimStartOptions{source_scenario(sources), {}, {}}, err));
    EXPECT_NE(std::string::npos, err.find("bad scenario")) << err;
    EXPECT_NE(std::string::npos, err.find(c.message)) << err;
    ::unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimBadPageSource, testing::ValuesIn(bad_sources),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
