#include "bench/scenario_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace kelvra_bench {

const char* simulator_path() { return KELVRA_BENCH_SIM; }
const char* scan_manager_path() { return KELVRA_BENCH_SOURCE_PATH; }

void use_prepared_source(bool prepared) {
    if (prepared)
        setenv("KELVRA_BENCH_SOURCE", "prepared", 1);
    else
        unsetenv("KELVRA_BENCH_SOURCE");
}

void use_scenario_text(const std::string& text) {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp != nullptr ? tmp : "/tmp") + "/kelvra-bench-" + std::to_string(getpid()) + ".xml";
    }();
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    std::fputs(text.c_str(), file);
    std::fclose(file);
    setenv("KELVRA_SIM_SCENARIO", path.c_str(), 1);
    static const bool registered = [] {
        std::atexit([] { unlink(path.c_str()); });
        return true;
    }();
    (void)registered;
}

void use_scenario(uint64_t piece_size) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "<scenario piece_size=\"%llu\">\n"
                  "  <device name=\"%s\" vendor=\"Kelvra\" model=\"Bench Flatbed\" type=\"flatbed scanner\"\n"
                  "          vendor_id=\"0x2d1a\" product_id=\"0x4299\" usb_serial_id=\"KVBENCH-0001\"\n"
                  "          deviceName=\"%s\" units=\"flatbed\" basic_resolution=\"%u\"\n"
                  "          flatbed=\"64 %u 64 %u\"/>\n"
                  "</scenario>\n",
                  static_cast<unsigned long long>(piece_size), kDeviceName, kDeviceName, kBasicResolution,
                  kFlatbedWidth, kFlatbedHeight);
    use_scenario_text(text);
    setenv("KELVRA_BENCH_PIECE", std::to_string(piece_size).c_str(), 1);
}

}  // namespace kelvra_bench
