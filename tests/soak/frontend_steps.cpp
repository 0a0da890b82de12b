#include "tests/soak/frontend_steps.h"

#include <vector>

#include "options/options.h"
#include "tests/support/entry_points.h"
#include "tests/support/frontend.h"

namespace kelvra_soak {

std::string status_name(SANE_Status status) {
    static const char* const names[] = {"GOOD",    "UNSUPPORTED", "CANCELLED", "DEVICE_BUSY",
                                        "INVAL",   "EOF",         "JAMMED",    "NO_DOCS",
                                        "COVER_OPEN", "IO_ERROR", "NO_MEM",    "ACCESS_DENIED"};
    if (status >= 0 && static_cast<size_t>(status) < sizeof names / sizeof names[0]) return names[status];
    return "status " + std::to_string(status);
}

bool set_small_area(SANE_Handle handle, double millimetres, std::string* problem) {
    const SANE_Word size = SANE_FIX(millimetres);
    const struct {
        int option;
        SANE_Word value;
    } area[] = {{OPT_TL_X, 0}, {OPT_TL_Y, 0}, {OPT_BR_X, size}, {OPT_BR_Y, size}};
    for (const auto& [option, value] : area) {
        SANE_Status status = kelvra_test::set_word_option(handle, option, value);
        if (status != SANE_STATUS_GOOD) {
            *problem = "setting option " + std::to_string(option) + " gave " + status_name(status);
            return false;
        }
    }
    return true;
}

bool scan_page(SANE_Handle handle, uint32_t page, std::string* problem) {
    SANE_Status status = sane_kelvra_start(handle);
    if (status != SANE_STATUS_GOOD) {
        *problem = "start of page " + std::to_string(page) + " gave " + status_name(status);
        return false;
    }
    SANE_Parameters params{};
    status = sane_kelvra_get_parameters(handle, &params);
    if (status != SANE_STATUS_GOOD) {
        *problem = "parameters of page " + std::to_string(page) + " gave " + status_name(status);
        return false;
    }
    std::string bytes;
    std::vector<SANE_Byte> buffer(4096);
    for (;;) {
        SANE_Int length = 0;
        status = sane_kelvra_read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length);
        if (status != SANE_STATUS_GOOD) break;
        bytes.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(length));
    }
    if (status != SANE_STATUS_EOF) {
        *problem = "reading page " + std::to_string(page) + " ended with " + status_name(status) + " after " +
                   std::to_string(bytes.size()) + " bytes";
        return false;
    }
    if (bytes.empty() || bytes != kelvra_test::expected_page(params, page)) {
        *problem = "page " + std::to_string(page) + " differs from the test chart (" + std::to_string(bytes.size()) +
                   " bytes)";
        return false;
    }
    return true;
}

}  // namespace kelvra_soak
