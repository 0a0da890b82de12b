// The benchmark's simulator set-up: one large flatbed, a chosen piece size.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra_bench {

// The virtual flatbed: 10200 x 8744 dots at 600 dpi, which the backend's
// largest resolution, 300 dpi, turns into 5100 x 4372 pixels: 66.9 MB a
// colour page, 22.3 MB a grey one.
constexpr uint32_t kBasicResolution = 600;
constexpr uint32_t kFlatbedWidth = 10200;
constexpr uint32_t kFlatbedHeight = 8744;
constexpr uint32_t kOutputResolution = 300;
constexpr uint32_t kPageWidth = kFlatbedWidth * kOutputResolution / kBasicResolution;
constexpr uint32_t kPageHeight = kFlatbedHeight * kOutputResolution / kBasicResolution;
constexpr const char* kDeviceName = "bench-flatbed";

inline uint64_t page_bytes(bool colour) { return uint64_t(kPageWidth) * kPageHeight * (colour ? 3 : 1); }

// Writes the scenario for `piece_size` into a file of its own and names it
// to the simulators started from now on (KELVRA_SIM_SCENARIO); the prepared
// source takes the piece size from KELVRA_BENCH_PIECE.
void use_scenario(uint64_t piece_size);
// The same for a scenario of the caller's own.
void use_scenario_text(const std::string& text);

// The simulator program.
const char* simulator_path();
// The scan-manager the benchmark and its backend start: kelvra-bench-source,
// which is the simulator unless use_prepared_source(true) was called.
const char* scan_manager_path();
// From now on the scan-managers started serve a page prepared in memory
// (true) or are the simulator (false).
void use_prepared_source(bool prepared);

}  // namespace kelvra_bench
