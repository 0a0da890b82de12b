// A frontend's option sweep, the way conformance testers and GUI frontends
// work: every option over its constraint, the parameters asked after each
// set. Every ask is one XML exchange, so a stall per exchange (a request held
// back by the socket until the peer acknowledges) turns seconds into minutes.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>

#include "options/options.h"
#include "tests/support/frontend.h"
#include "tests/support/scenario.h"

namespace {

using kelvra_test::set_string_option;
using kelvra_test::set_word_option;

// About 400 exchanges: 30 ms on an idle machine, 0.2 s under the
// sanitizers; with a 40 ms stall per exchange they took 17 s.
constexpr double kSweepLimitSeconds = 2.0;

SANE_Word word_option(SANE_Handle handle, int option) {
    SANE_Word value = 0;
    EXPECT_EQ(sane_kelvra_control_option(handle, option, SANE_ACTION_GET_VALUE, &value, nullptr), SANE_STATUS_GOOD);
    return value;
}

std::string string_option(SANE_Handle handle, int option) {
    char value[64] = {};
    EXPECT_EQ(sane_kelvra_control_option(handle, option, SANE_ACTION_GET_VALUE, value, nullptr), SANE_STATUS_GOOD);
    return value;
}

// The integer attribute `name` of an XML request document.
long attribute(const std::string& document, const std::string& name) {
    const size_t at = document.find(" " + name + "=\"");
    if (at == std::string::npos) return -1;
    return std::strtol(document.c_str() + at + name.size() + 3, nullptr, 10);
}

class Sweep {
public:
    Sweep(SANE_Handle handle, const kelvra_test::Scenario& scenario) : handle_(handle), scenario_(scenario) {}

    // Asks for the parameters and checks them against the options as they now are.
    void ask(const std::string& what) {
        SCOPED_TRACE(what);
        SANE_Parameters p{};
        ASSERT_EQ(sane_kelvra_get_parameters(handle_, &p), SANE_STATUS_GOOD);
        ++asks_;
        const bool gray = string_option(handle_, OPT_MODE) == "Gray";
        EXPECT_EQ(p.format, gray ? SANE_FRAME_GRAY : SANE_FRAME_RGB);
        EXPECT_EQ(p.depth, 8);
        EXPECT_EQ(p.bytes_per_line, p.pixels_per_line * (gray ? 1 : 3));
        const double dpi = word_option(handle_, OPT_RESOLUTION);
        const double width = std::fabs(SANE_UNFIX(word_option(handle_, OPT_BR_X) - word_option(handle_, OPT_TL_X)));
        const double height = std::fabs(SANE_UNFIX(word_option(handle_, OPT_BR_Y) - word_option(handle_, OPT_TL_Y)));
        EXPECT_NEAR(p.pixels_per_line, width / 25.4 * dpi, 1.5);
        EXPECT_NEAR(p.lines, height / 25.4 * dpi, 1.5);
    }

    void set_word(int option, SANE_Word value, const std::string& what) {
        ASSERT_EQ(set_word_option(handle_, option, value), SANE_STATUS_GOOD) << what;
        ask(what);
    }

    // Each entry of a string list, each resolution, each corner at its
    // range's ends and middle.
    void every_value() {
        const SANE_Option_Descriptor* mode = sane_kelvra_get_option_descriptor(handle_, OPT_MODE);
        for (const SANE_String_Const* m = mode->constraint.string_list; *m != nullptr; ++m) {
            ASSERT_EQ(set_string_option(handle_, OPT_MODE, *m), SANE_STATUS_GOOD);
            ask(std::string("mode ") + *m);
        }
        const SANE_Word* resolutions = sane_kelvra_get_option_descriptor(handle_, OPT_RESOLUTION)->constraint.word_list;
        for (SANE_Word i = 1; i <= resolutions[0]; ++i)
            set_word(OPT_RESOLUTION, resolutions[i], "resolution " + std::to_string(resolutions[i]));
        for (int option : {OPT_TL_X, OPT_TL_Y, OPT_BR_X, OPT_BR_Y}) {
            const SANE_Range* range = sane_kelvra_get_option_descriptor(handle_, option)->constraint.range;
            for (SANE_Word value : {range->min, range->max, range->min + (range->max - range->min) / 2, range->max})
                set_word(option, value, "option " + std::to_string(option) + " = " + std::to_string(value));
        }
    }

    // With a feeder source and the scan area's middle third chosen, centring
    // moves the area to the feeder's middle and keeps its width.
    void center_scan_both_ways(uint32_t feeder_width_px) {
        const SANE_Range* x = sane_kelvra_get_option_descriptor(handle_, OPT_BR_X)->constraint.range;
        set_word(OPT_TL_X, x->max / 3, "tl-x a third");
        set_word(OPT_BR_X, x->max / 3 * 2, "br-x two thirds");
        set_word(OPT_TL_X, 0, "tl-x at the left edge");
        for (SANE_Bool centred : {SANE_TRUE, SANE_FALSE, SANE_TRUE}) {
            set_word(OPT_CENTER_SCAN, centred, centred ? "centred" : "not centred");
            const std::string sent = scenario_.frames_with_command(IPC_CMD_SCAN_PARAMETER).back().payload;
            const long left = attribute(sent, "input_position_x"), width = attribute(sent, "input_width");
            if (centred)
                EXPECT_NEAR(2 * left + width, feeder_width_px, 2) << sent;
            else
                EXPECT_EQ(left, 0) << sent;
        }
    }

    int asks() const { return asks_; }

private:
    SANE_Handle handle_;
    const kelvra_test::Scenario& scenario_;
    int asks_ = 0;
};

TEST(OptionSweep, EveryOptionOverItsConstraintWithParametersAfterEachSetAndNoStall) {
    kelvra_test::Scenario scenario;
    int asks = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const char* name : {"mfp-adf", "duplex-legal"}) {
        SCOPED_TRACE(name);
        SANE_Handle handle = kelvra_test::open_named(name);
        ASSERT_NE(handle, nullptr);
        Sweep sweep(handle, scenario);
        const SANE_Option_Descriptor* source = sane_kelvra_get_option_descriptor(handle, OPT_SOURCE);
        for (const SANE_String_Const* s = source->constraint.string_list; *s != nullptr; ++s) {
            SCOPED_TRACE(*s);
            ASSERT_EQ(set_string_option(handle, OPT_SOURCE, *s), SANE_STATUS_GOOD);
            sweep.ask(std::string("source ") + *s);
            for (int round = 0; round < 3; ++round) sweep.every_value();
            if (std::string(*s) != "Flatbed") sweep.center_scan_both_ways(5100);
        }
        asks += sweep.asks();
        sane_kelvra_close(handle);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // Every ask is its own exchange: none is answered from a cache.
    EXPECT_EQ(scenario.frames_with_command(IPC_CMD_SCAN_PARAMETER).size(), size_t(asks));
    EXPECT_GT(asks, 300);
    EXPECT_LT(seconds, kSweepLimitSeconds) << asks << " exchanges";
    sane_kelvra_exit();
}

}  // namespace
