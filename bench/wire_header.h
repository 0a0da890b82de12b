// The 20-byte frame header as the benchmark's own programs write and read it
// (the minimal relay and the prepared page source), apart from the backend's
// frame code so that the benchmark measures that code, never relies on it.
#pragma once

#include <cstdint>

namespace kelvra_bench_wire {

#pragma pack(push, 1)
struct Header {
    uint32_t command;
    uint32_t direction;
    uint32_t kind;
    uint64_t length;
};
#pragma pack(pop)
static_assert(sizeof(Header) == 20);

}  // namespace kelvra_bench_wire
