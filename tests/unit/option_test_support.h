// Option tables built straight from a capability, for the option tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "options/options.h"

namespace option_test {

// base resolution 600; flatbed 64..5100 x 64..7014; feeders 64..5100 x 64..8400.
inline DeviceCapability capability_600(std::vector<ScannerUnit> units = {}) {
    DeviceCapability cap;
    cap.basic_resolution = 600;
    cap.flatbed_min_width = 64;
    cap.flatbed_max_width = 5100;
    cap.flatbed_min_height = 64;
    cap.flatbed_max_height = 7014;
    cap.adf_min_Width = 64;
    cap.adf_max_Width = 5100;
    cap.adf_min_height = 64;
    cap.adf_max_height = 8400;
    cap.scanner_units = std::move(units);
    return cap;
}

// Owns one table for the length of a test; a failed creation fails the test.
class Table {
public:
    explicit Table(const DeviceCapability& cap) {
        EXPECT_EQ(create_device_options(cap, &options_), SANE_STATUS_GOOD);
    }
    ~Table() {
        if (options_ != nullptr) free_device_options(&options_);
    }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    DeviceOptions* get() const { return options_; }
    DeviceOptions* operator->() const { return options_; }

private:
    DeviceOptions* options_ = nullptr;
};

// Sets a word option; returns the status, the info bits and the buffer.
struct WordSet {
    SANE_Status status;
    SANE_Int info;
    SANE_Word buffer;
};

inline WordSet set_word(DeviceOptions* options, SANE_Int option, SANE_Word value) {
    WordSet result{SANE_STATUS_GOOD, 0, value};
    result.status = set_option_value(options, option, &result.buffer, &result.info);
    return result;
}

// Sets a string option from a copy of `text`; the buffer shows any rewrite.
struct StringSet {
    SANE_Status status;
    SANE_Int info;
    std::string buffer;
};

inline StringSet set_string(DeviceOptions* options, SANE_Int option, const char* text) {
    char buffer[64] = {};
    std::strncpy(buffer, text, sizeof buffer - 1);
    StringSet result{SANE_STATUS_GOOD, 0, {}};
    result.status = set_option_value(options, option, buffer, &result.info);
    result.buffer = buffer;
    return result;
}

inline SANE_Word get_word(DeviceOptions* options, SANE_Int option) {
    SANE_Word word = -12345;
    EXPECT_EQ(get_option_value(options, option, &word), SANE_STATUS_GOOD);
    return word;
}

// Fixed-point millimetres of a whole number of millimetres.
constexpr SANE_Word mm(int millimetres) { return millimetres * 65536; }

}  // namespace option_test
