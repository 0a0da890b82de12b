// A frontend's option sweep, as conformance testers and GUI frontends do it:
// every source, every option over its constraint, the parameters asked after
// each set. Every ask is one XML exchange, so a stall per exchange (a request
// held back until the peer acknowledges) once turned 30 ms into 17 s. Choosing
// a source also makes set-center-scan active and on for a feeder only.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "ipc/ipc.h"
#include "options/options.h"
#include "tests/support/frontend.h"

namespace {

using namespace kelvra_test;

SANE_Word word(SANE_Handle handle, int option) {
    SANE_Word value = 0;
    EXPECT_EQ(sane_kelvra_control_option(handle, option, SANE_ACTION_GET_VALUE, &value, nullptr), SANE_STATUS_GOOD);
    return value;
}

// Sets `option` (a word, or a string when `text` is given) and asks for the
// parameters, whose conversion the unit tests check.
int asks = 0;
void set_and_ask(SANE_Handle handle, int option, SANE_Word value, const char* text = nullptr) {
    ASSERT_EQ(text ? set_string_option(handle, option, text) : set_word_option(handle, option, value),
              SANE_STATUS_GOOD);
    SANE_Parameters p{};
    ASSERT_EQ(sane_kelvra_get_parameters(handle, &p), SANE_STATUS_GOOD);
    ++asks;
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
            EXPECT_EQ(word(handle, OPT_CENTER_SCAN), feeder ? SANE_TRUE : SANE_FALSE);
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
            // The left third of the width, centred in the 5100-pixel feeder or left where it is.
            set_and_ask(handle, OPT_TL_X, 0);
            set_and_ask(handle, OPT_BR_X, descriptor(OPT_BR_X)->constraint.range->max / 3);
            for (SANE_Bool centred : {SANE_TRUE, SANE_FALSE, SANE_TRUE}) {
                if (!feeder) break;
                set_and_ask(handle, OPT_CENTER_SCAN, centred);
                const std::string sent = scenario.frames(IPC_CMD_SCAN_PARAMETER).back().payload;
                auto attribute = [&](const std::string& key) {
                    return std::strtol(sent.c_str() + sent.find(" " + key + "=\"") + key.size() + 3, nullptr, 10);
                };
                const long left = attribute("input_position_x"), width = attribute("input_width");
                EXPECT_NEAR(centred ? 2 * left + width : left, centred ? 5100 : 0, 2) << sent;
            }
        }
        sane_kelvra_close(handle);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Each ask is an exchange of its own (none answered from a cache); about
    // 400 take 30 ms on an idle machine and 0.2 s under the sanitizers.
    EXPECT_EQ(scenario.frames(IPC_CMD_SCAN_PARAMETER).size(), size_t(asks));
    EXPECT_GT(asks, 300);
    EXPECT_LT(seconds, 2.0) << asks << " exchanges";
    sane_kelvra_exit();
}

}  // namespace
