// How long the small exchanges take: a frontend's option sweep asks for the
// parameters after every change, and every page of a feeder job starts with
// an exchange or a thread hand-over.
#pragma once

#include <string>

namespace kelvra_bench {

// Measures and returns the Markdown table: get_parameters after an option
// change (`calls` times), the start of each page of a 20-page feeder job,
// and open+close. Uses a scenario of its own (KELVRA_SIM_SCENARIO).
std::string exchange_latency_table(int calls);

}  // namespace kelvra_bench
