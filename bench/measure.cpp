#include "bench/measure.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <ctime>

namespace kelvra_bench {

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& v) { return double(v.tv_sec) + double(v.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The scheduler's own account (nanoseconds), not the 10 ms ticks of
// /proc/PID/stat: a page of the simulator lasts only a few of those.
double process_cpu_seconds(int pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/schedstat";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return 0;
    unsigned long long ns = 0;
    if (std::fscanf(file, "%llu", &ns) != 1) ns = 0;
    std::fclose(file);
    return double(ns) * 1e-9;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool reset_peak_rss() {
    FILE* file = std::fopen("/proc/self/clear_refs", "w");
    if (file == nullptr) return false;
    const bool ok = std::fputs("5", file) >= 0;
    return std::fclose(file) == 0 && ok;
}

namespace {

uint64_t status_kib(const char* key) {
    FILE* file = std::fopen("/proc/self/status", "r");
    if (file == nullptr) return 0;
    char line[256];
    unsigned long long kib = 0;
    const size_t key_length = std::strlen(key);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, key, key_length) == 0) {
            std::sscanf(line + key_length, " %llu", &kib);
            break;
        }
    }
    std::fclose(file);
    return uint64_t(kib) * 1024;
}

}  // namespace

uint64_t peak_rss_bytes() { return status_kib("VmHWM:"); }
uint64_t current_rss_bytes() { return status_kib("VmRSS:"); }

}  // namespace kelvra_bench
