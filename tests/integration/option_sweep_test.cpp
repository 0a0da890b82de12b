// A frontend's option sweep, as conformance testers and GUI frontends do it:
// every source and option over its constraint, the parameters asked after
// each set: one XML exchange each, so a stall per exchange (a request held
// back until the peer acknowledges) once turned 30 ms into 17 s. A source
// also makes set-center-scan active and on for a feeder only.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>

#include "ipc/ipc.h"
#include "options/options.h"
#include "tests/support/frontend.h"

namespace {

using namespace kelvra_test;

SANE_Word get(SANE_Handle handle, int option) {
    SANE_Word value = 0;
    sane_kelvra_control_option(handle, option, SANE_ACTION_GET_VALUE, &value, nullptr);
    return value;
}

// Sets `option` (a word, or a string when `text` is given) and asks for the
// parameters: the mode's frame, and the area at the resolution to the pixel
// (the exact rounding is the unit tests').
int asks = 0;
void set_and_ask(SANE_Handle handle, int option, SANE_Word value, const char* text = nullptr) {
    ASSERT_EQ(text ? set_string_option(handle, option, text) : set_word_option(handle, option, value),
              SANE_STATUS_GOOD);
    SANE_Parameters p{};
    ASSERT_EQ(sane_kelvra_get_parameters(handle, &p), SANE_STATUS_GOOD);
    ++asks;
    char mode[16] = {};
    sane_kelvra_control_option(handle, OPT_MODE, SANE_ACTION_GET_VALUE, mode, nullptr);
    const int channels = std::string(mode) == "Gray" ? 1 : 3;
    EXPECT_EQ(p.format, channels == 1 ? SANE_FRAME_GRAY : SANE_FRAME_RGB);
    EXPECT_EQ(p.bytes_per_line, p.pixels_per_line * channels);
    const double dots_per_mm = get(handle, OPT_RESOLUTION) / 25.4;
    EXPECT_NEAR(p.pixels_per_line, std::abs(SANE_UNFIX(get(handle, OPT_BR_X) - get(handle, OPT_TL_X))) * dots_per_mm, 1.5);
    EXPECT_NEAR(p.lines, std::abs(SANE_UNFIX(get(handle, OPT_BR_Y) - get(handle, OPT_TL_Y))) * dots_per_mm, 1.5);
}

TEST(OptionSweep, EveryOptionOverItsConstraintWithParametersAfterEachSetAndNoStall) {
    Scenario scenario;
    const auto start = std::chrono::steady_clock::now();
    for (const char* name : {"mfp-adf", "duplex-legal"}) {
        SANE_Handle handle = open_named(name);
        ASSERT_NE(handle, nullptr);
        auto descriptor = [&](int option) { return sane_kelvra_get_option_descriptor(handle, option); };
        for (const SANE_String_Const* source = descriptor(OPT_SOURCE)->constraint.string_list; *source; ++source) {
            SCOPED_TRACE(std::string(name) + ", " + *source);
            set_and_ask(handle, OPT_SOURCE, 0, *source);
            // The follow-up of a source: centring is offered, and on, for a feeder only.
            const bool feeder = std::string(*source) != SOURCE_FLATBED;
            EXPECT_EQ(SANE_OPTION_IS_ACTIVE(descriptor(OPT_CENTER_SCAN)->cap), feeder);
            SANE_Word centred = -1;
            sane_kelvra_control_option(handle, OPT_CENTER_SCAN, SANE_ACTION_GET_VALUE, &centred, nullptr);
            EXPECT_EQ(centred, feeder ? SANE_TRUE : SANE_FALSE);
            for (int round = 0; round < 3; ++round) {
                for (const SANE_String_Const* mode = descriptor(OPT_MODE)->constraint.string_list; *mode; ++mode)
                    set_and_ask(handle, OPT_MODE, 0, *mode);
                const SANE_Word* resolutions = descriptor(OPT_RESOLUTION)->constraint.word_list;
                for (SANE_Word i = 1; i <= resolutions[0]; ++i) set_and_ask(handle, OPT_RESOLUTION, resolutions[i]);
                for (int option : {OPT_TL_X, OPT_TL_Y, OPT_BR_X, OPT_BR_Y}) {
                    const SANE_Range* r = descriptor(option)->constraint.range;
                    for (SANE_Word value : {r->min, r->max, r->min + (r->max - r->min) / 2, r->max})
                        set_and_ask(handle, option, value);
                }
            }
            for (SANE_Bool centred : {SANE_FALSE, SANE_TRUE}) {
                if (feeder) set_and_ask(handle, OPT_CENTER_SCAN, centred);  // where it lands: the unit tests
            }
        }
        sane_kelvra_close(handle);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Each ask is an exchange of its own (none answered from a cache); about
    // 400 take 30 ms on an idle machine, 0.2 s under the sanitizers and 4 s
    // under AddressSanitizer on two cores shared by five builds. An exchange
    // that waits for a delayed acknowledgement (40 ms) makes them 16 s.
    EXPECT_EQ(scenario.frames(IPC_CMD_SCAN_PARAMETER).size(), size_t(asks));
    EXPECT_GT(asks, 300);
    EXPECT_LT(seconds, 8.0) << asks << " exchanges";
    sane_kelvra_exit();
}

}  // namespace
