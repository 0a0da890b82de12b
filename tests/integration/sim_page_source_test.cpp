// Pages whose content comes from image files: PNM and PNG files of every
// colour layout arrive byte for byte, are converted between grey and colour,
// scaled to the scan's size, chosen per page, and bad files stop the start.
//
// The files are written here by code of the test's own (a PNG with stored,
// uncompressed deflate blocks), and the expected bytes are computed from the
// pixel values the test chose, not by the simulator's decoder.
#include "simulator/pages.h"
#include "tests/support/sim_client.h"
#include "tests/support/sim_images.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <fstream>
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

std::string png_of(uint32_t channels, int colour_type, int extra_bytes_per_pixel = 0) {
    std::vector<std::string> rows;
    for (uint32_t y = 0; y < H; ++y) {
        std::string row;
        for (uint32_t x = 0; x < W; ++x) {
            for (uint32_t c = 0; c < channels; ++c) row += char(sample(x, y, c));
            row.append(size_t(extra_bytes_per_pixel), char(x * 7));  // alpha
        }
        rows.push_back(row);
    }
    return png(W, H, 8, colour_type, rows);
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
    {"png_rgb_on_colour", [] { return png_of(3, 2); }, 3, true, {}},
    {"png_rgb_on_grey", [] { return png_of(3, 2); }, 3, false, {}},
    {"png_grey_on_grey", [] { return png_of(1, 0); }, 1, false, {}},
    {"png_grey_on_colour", [] { return png_of(1, 0); }, 1, true, {}},
    {"png_alpha_is_dropped", [] { return png_of(3, 6, 1); }, 3, true, {}},
    {"png_grey_alpha_is_dropped", [] { return png_of(1, 4, 1); }, 1, false, {}},
    {"png_16_bit_keeps_the_high_byte",
     [] {
         std::vector<std::string> rows;
         for (uint32_t y = 0; y < H; ++y) {
             std::string row;
             for (uint32_t x = 0; x < W; ++x)
                 for (uint32_t c = 0; c < 3; ++c) {
                     row += char(sample(x, y, c));
                     row += char(0xFF - sample(x, y, c));  // low byte, dropped
                 }
             rows.push_back(row);
         }
         return png(W, H, 16, 2, rows);
     },
     3, true, {}},
    {"png_palette_is_expanded",
     [] {
         // Index i has the colour (i, 255 - i, 3 i).
         std::string palette;
         for (int i = 0; i < 256; ++i) palette += {char(i), char(255 - i), char(3 * i)};
         std::vector<std::string> rows;
         for (uint32_t y = 0; y < H; ++y) {
             std::string row;
             for (uint32_t x = 0; x < W; ++x) row += char(sample(x, y, 0));
             rows.push_back(row);
         }
         return png(W, H, 8, 3, rows, palette);
     },
     3, true,
     [] {
         std::string out;
         for (uint32_t y = 0; y < H; ++y)
             for (uint32_t x = 0; x < W; ++x) {
                 const uint8_t i = sample(x, y, 0);
                 out += {char(i), char(255 - i), char(3 * i)};
             }
         return out;
     }},
};

// ---------------------------------------------------------------- a flatbed page

std::string source_scenario(const std::string& sources, const std::string& attributes = "") {
    return "<scenario " + attributes + ">" + sources + "</scenario>";
}

// Opens fb-a4 (or mfp-adf for feeder jobs), sets a scan of width x height and starts it.
void start_scan(SimProcess& sim, uint32_t placement, bool colour, uint32_t width, uint32_t height) {
    SimFrame reply;
    ASSERT_TRUE(sim.exchange(1, sim_open_request(sim_builtin_device(placement == 0 ? "fb-a4" : "mfp-adf")), reply));
    ASSERT_TRUE(sim.exchange(3, sim_scan_request(placement, 0, colour ? 2 : 1, width, height), reply));
    ASSERT_TRUE(sim.exchange(4, {}, reply));
    SimXml status;
    ASSERT_TRUE(parse_sim_xml(reply.payload, status));
    ASSERT_EQ("0", status["scan_status"]);
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
    start_scan(sim, 0, c.colour_scan, W, H);
    const SimPage page = sim_read_page(sim);
    ASSERT_TRUE(page.ok);
    const std::string expected = c.expected ? c.expected() : unscaled(W, H, c.file_channels, c.colour_scan);
    ASSERT_EQ(expected.size(), page.bytes.size());
    EXPECT_TRUE(page.bytes == expected) << "the page differs from the file's pixels";
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimPageSourceFile, testing::ValuesIn(file_cases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- scaling

struct Pixel {
    uint32_t x, y;            // in the page
    uint32_t source_x, source_y;  // the file's pixel under its centre
};

std::string page_pixel(const std::string& bytes, uint32_t width, uint32_t channels, uint32_t x, uint32_t y) {
    return bytes.substr((size_t(y) * width + x) * channels, channels);
}

TEST(SimPageSourceScaling, AColourFileIsEnlargedByNearestNeighbour) {
    // 7x5 file onto a 20x13 page: page column x shows file column
    // floor((x + 0.5) * 7 / 20), row y file row floor((y + 0.5) * 5 / 13).
    TempFile file("small.ppm", pnm('6', 7, 5, picture(7, 5, 3)));
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(source_scenario("<source file=\"" + file.path + "\"/>")));
    start_scan(sim, 0, true, 20, 13);
    const SimPage page = sim_read_page(sim);
    ASSERT_TRUE(page.ok);
    ASSERT_EQ(20u * 13u * 3u, page.bytes.size());
    const Pixel pixels[] = {
        {0, 0, 0, 0},    // corners map to corners
        {19, 12, 6, 4},
        {19, 0, 6, 0},
        {2, 2, 0, 0},    // 2.5 * 0.35 = 0.875; 2.5 * 5 / 13 = 0.96
        {3, 3, 1, 1},    // 3.5 * 0.35 = 1.225; 3.5 * 5 / 13 = 1.35
        {10, 6, 3, 2},   // 10.5 * 0.35 = 3.675; 6.5 * 5 / 13 = 2.5
        {14, 7, 5, 2},   // 14.5 * 0.35 = 5.075; 7.5 * 5 / 13 = 2.88
    };
    for (const Pixel& p : pixels) {
        const std::string want{char(sample(p.source_x, p.source_y, 0)), char(sample(p.source_x, p.source_y, 1)),
                               char(sample(p.source_x, p.source_y, 2))};
        EXPECT_EQ(want, page_pixel(page.bytes, 20, 3, p.x, p.y)) << "page pixel " << p.x << "," << p.y;
    }
}

TEST(SimPageSourceScaling, AColourFileIsReducedAndTurnedGrey) {
    // 40x30 PNG onto a 10x6 grey page: steps of 4 columns and 5 rows, centres
    // at file column 4x + 2 and row 5y + 2.
    std::vector<std::string> rows;
    for (uint32_t y = 0; y < 30; ++y) {
        std::string row;
        for (uint32_t x = 0; x < 40; ++x)
            for (uint32_t c = 0; c < 3; ++c) row += char(sample(x, y, c));
        rows.push_back(row);
    }
    TempFile file("large.png", png(40, 30, 8, 2, rows));
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(source_scenario("<source file=\"" + file.path + "\"/>")));
    start_scan(sim, 0, false, 10, 6);
    const SimPage page = sim_read_page(sim);
    ASSERT_TRUE(page.ok);
    ASSERT_EQ(60u, page.bytes.size());
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 0; x < 10; ++x) {
            const uint32_t sx = 4 * x + 2, sy = 5 * y + 2;
            EXPECT_EQ(char(grey(sample(sx, sy, 0), sample(sx, sy, 1), sample(sx, sy, 2))), page.bytes[y * 10 + x])
                << "page pixel " << x << "," << y;
        }
}

TEST(SimPageSourceScaling, ALargePageFromATinyFileIsComplete) {
    // A 2x2 file on a page of several pieces: every row is one of two rows,
    // every pixel one of the four colours, split at the middle.
    TempFile file("tiny.ppm", pnm('6', 2, 2, picture(2, 2, 3)));
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(source_scenario("<source file=\"" + file.path + "\"/>", "piece_size=\"7001\"")));
    start_scan(sim, 0, true, 301, 200);
    const SimPage page = sim_read_page(sim);
    ASSERT_TRUE(page.ok);
    ASSERT_EQ(301u * 200u * 3u, page.bytes.size());
    bool all_right = true;
    for (uint32_t y = 0; y < 200 && all_right; ++y)
        for (uint32_t x = 0; x < 301 && all_right; ++x) {
            // Column 150's centre, 150.5 of 301, is past the middle: file column 1.
            const uint32_t sx = x < 150 ? 0 : 1, sy = y < 100 ? 0 : 1;
            const std::string want{char(sample(sx, sy, 0)), char(sample(sx, sy, 1)), char(sample(sx, sy, 2))};
            all_right = want == page_pixel(page.bytes, 301, 3, x, y);
            EXPECT_TRUE(all_right) << "page pixel " << x << "," << y;
        }
}

// ---------------------------------------------------------------- which page

std::string chart(uint32_t width, uint32_t height, uint32_t page) {
    kelvra_sim::PageGeometry g{width, height, uint64_t(width), 1};
    std::string bytes(size_t(kelvra_sim::page_size(g)), '\0');
    kelvra_sim::page_bytes(g, page, 0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

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
        start_scan(sim, 1, false, W, H);
        for (size_t i = 0; i < 3; ++i) {
            const SimPage page = sim_read_page(sim);
            ASSERT_TRUE(page.ok);
            EXPECT_TRUE(page.bytes == c.pages[i]) << "page " << i + 1;
        }
    }
}

TEST(SimPageSourcePages, ARelativePathIsTakenFromTheScenariosFolder) {
    // The scenario is written beside the test's other temporary files.
    TempFile file("relative.pgm", pnm('5', W, H, picture(W, H, 1)));
    const std::string name = file.path.substr(file.path.rfind('/') + 1);
    SimProcess sim;
    ASSERT_TRUE(sim.start_and_connect(source_scenario("<source file=\"" + name + "\"/>")));
    start_scan(sim, 0, false, W, H);
    EXPECT_TRUE(sim_read_page(sim).bytes == unscaled(W, H, 1, false));
}

// ---------------------------------------------------------------- bad sources

struct BadSource {
    const char* label;
    std::string bytes;       // the file's content; empty: no file at all
    std::string attributes;  // of <source>, besides file
    std::string message;     // part of the error
};

const BadSource bad_sources[] = {
    {"missing_file", "", "", "cannot open"},
    {"neither_pnm_nor_png", "GIF89a....", "", "neither"},
    {"ascii_pnm", "P2\n2 2\n255\n1 2 3 4\n", "", "neither"},
    {"pnm_16_bit", pnm('5', 2, 2, std::vector<uint8_t>(8, 1), 65535), "", "maxval"},
    {"pnm_short_raster", pnm('6', 4, 4, std::vector<uint8_t>(40, 1)), "", "short"},
    {"pnm_empty", pnm('5', 0, 3, {}), "", "empty"},
    {"png_cut_short", png(4, 4, 8, 0, std::vector<std::string>(4, "abcd")).substr(0, 40), "", "PNG"},
    {"page_zero", pnm('5', 1, 1, {7}), "page=\"0\"", "numbered from 1"},
    {"unknown_attribute", pnm('5', 1, 1, {7}), "pages=\"1\"", "no attribute"},
};

class SimBadPageSource : public testing::TestWithParam<BadSource> {};

TEST_P(SimBadPageSource, RefusesToStartAndNamesTheProblem) {
    const BadSource& c = GetParam();
    const std::string path = sim_temp_path("bad-source");
    if (!c.bytes.empty()) write_bytes(path, c.bytes);
    const std::string err_path = sim_temp_path("stderr");
    SimProcess sim;
    ASSERT_TRUE(sim.start(SimStartOptions{
        source_scenario("<source " + c.attributes + " file=\"" + path + "\"/>"), {}, err_path}));
    EXPECT_TRUE(sim.pipe_ends_without_data()) << "no port for a bad page source";
    EXPECT_EQ(2, sim.wait_exit());
    const std::string err = sim_read_file(err_path);
    EXPECT_NE(std::string::npos, err.find("bad scenario")) << err;
    EXPECT_NE(std::string::npos, err.find(c.message)) << err;
    ::unlink(path.c_str());
    ::unlink(err_path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimBadPageSource, testing::ValuesIn(bad_sources),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SimBadPageSources, TwoSourcesForOnePageOrTwoDefaultsAreRefused) {
    TempFile file("one.pgm", pnm('5', 1, 1, {7}));
    const std::string f = "file=\"" + file.path + "\"";
    for (const std::string& sources : {"<source page=\"2\" " + f + "/><source page=\"2\" " + f + "/>",
                                       "<source " + f + "/><source " + f + "/>"}) {
        SimProcess sim;
        ASSERT_TRUE(sim.start(source_scenario(sources)));
        EXPECT_TRUE(sim.pipe_ends_without_data()) << sources;
        EXPECT_EQ(2, sim.wait_exit()) << sources;
    }
}

}  // namespace
