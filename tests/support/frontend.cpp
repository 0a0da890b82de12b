#include "tests/support/frontend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "backend/backend.h"
#include "simulator/pages.h"

namespace kelvra_test {

SANE_Handle open_named(const char* name) {
    SANE_Handle handle = nullptr;
    EXPECT_EQ(sane_kelvra_open(name, &handle), SANE_STATUS_GOOD) << name;
    return handle;
}

void release_kept_handle(SANE_Handle handle) {
    device_t* device = static_cast<device_t*>(handle);
    auto registered = std::find(g_open_devices.begin(), g_open_devices.end(), device);
    ASSERT_NE(registered, g_open_devices.end()) << "the handle is no longer registered";
    g_open_devices.erase(registered);
    release_device(device);
    delete device;
}

SANE_Status set_string_option(SANE_Handle handle, int option, const std::string& value, SANE_Int* info) {
    const SANE_Option_Descriptor* descriptor = sane_kelvra_get_option_descriptor(handle, option);
    std::vector<char> buffer(std::max<size_t>(descriptor ? descriptor->size : 0, value.size() + 1), '\0');
    std::copy(value.begin(), value.end(), buffer.begin());
    return sane_kelvra_control_option(handle, option, SANE_ACTION_SET_VALUE, buffer.data(), info);
}

SANE_Status set_word_option(SANE_Handle handle, int option, SANE_Word value, SANE_Int* info) {
    return sane_kelvra_control_option(handle, option, SANE_ACTION_SET_VALUE, &value, info);
}

PageRead read_page(SANE_Handle handle, int chunk) {
    PageRead page;
    std::vector<SANE_Byte> buffer(chunk);
    for (;;) {
        SANE_Int length = -1;
        const SANE_Status status = sane_kelvra_read(handle, buffer.data(), chunk, &length);
        if (status != SANE_STATUS_GOOD) {
            EXPECT_EQ(length, 0) << "a read that fails delivers nothing";
            page.final_status = status;
            return page;
        }
        page.bytes.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(length));
    }
}

std::string expected_page(const SANE_Parameters& params, uint32_t page) {
    const kelvra_sim::PageGeometry geometry{static_cast<uint32_t>(params.pixels_per_line),
                                            static_cast<uint32_t>(params.lines),
                                            static_cast<uint64_t>(params.bytes_per_line),
                                            params.format == SANE_FRAME_GRAY ? 1u : 3u};
    std::string bytes(kelvra_sim::page_size(geometry), '\0');
    kelvra_sim::page_bytes(geometry, page, 0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

}  // namespace kelvra_test
