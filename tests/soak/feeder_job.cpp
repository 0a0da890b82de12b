#include "tests/soak/feeder_job.h"

#include <cstdio>
#include <vector>

#include "options/options.h"
#include "tests/soak/frontend_steps.h"
#include "tests/support/entry_points.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"

namespace kelvra_soak {
namespace {

bool fail(std::string* problem, const std::string& text) {
    *problem = text;
    return false;
}

bool enumerate(std::string* problem) {
    const SANE_Device** list = nullptr;
    SANE_Status status = sane_kelvra_get_devices(&list, SANE_FALSE);
    if (status != SANE_STATUS_GOOD) return fail(problem, "enumeration gave " + status_name(status));
    int count = 0;
    while (list[count] != nullptr) ++count;
    std::printf("enumeration: %d devices\n", count);
    return count >= 3 || fail(problem, "enumeration listed " + std::to_string(count) + " devices");
}

bool open_and_close(std::string* problem) {
    SANE_Handle handle = nullptr;
    SANE_Status status = sane_kelvra_open("fb-a4", &handle);
    if (status != SANE_STATUS_GOOD) return fail(problem, "open of fb-a4 gave " + status_name(status));
    sane_kelvra_close(handle);
    std::printf("fb-a4: opened and closed\n");
    return true;
}

bool feeder_pages(SANE_Handle handle, std::string* problem) {
    SANE_Status status = kelvra_test::set_string_option(handle, OPT_SOURCE, "Automatic Document Feeder");
    if (status != SANE_STATUS_GOOD) return fail(problem, "choosing the feeder gave " + status_name(status));
    if (!set_small_area(handle, 10.0, problem)) return false;
    for (uint32_t page = 1; page <= 3; ++page) {
        if (!scan_page(handle, page, problem)) return false;
        std::printf("mfp-adf: page %u read to EOF\n", page);
    }
    // The feeder is empty now: the start is accepted and the read says why.
    status = sane_kelvra_start(handle);
    if (status != SANE_STATUS_GOOD) return fail(problem, "start on the empty feeder gave " + status_name(status));
    SANE_Byte byte = 0;
    SANE_Int length = 0;
    status = sane_kelvra_read(handle, &byte, 1, &length);
    if (status != SANE_STATUS_NO_DOCS || length != 0)
        return fail(problem, "read on the empty feeder gave " + status_name(status));
    std::printf("mfp-adf: empty feeder reported as NO_DOCS\n");
    return true;
}

}  // namespace

bool run_feeder_job(std::string* problem) {
    SANE_Int version = 0;
    SANE_Status status = sane_kelvra_init(&version, nullptr);
    if (status != SANE_STATUS_GOOD) return fail(problem, "init gave " + status_name(status));
    const kelvra_test::ProcessSnapshot before = kelvra_test::ProcessSnapshot::take();

    bool ok = enumerate(problem) && open_and_close(problem);
    if (ok) {
        SANE_Handle handle = nullptr;
        status = sane_kelvra_open("mfp-adf", &handle);
        if (status != SANE_STATUS_GOOD) return fail(problem, "open of mfp-adf gave " + status_name(status));
        ok = feeder_pages(handle, problem);
        sane_kelvra_close(handle);
    }
    sane_kelvra_exit();
    if (!ok) return false;

    if (!kelvra_test::returns_to(before))
        return fail(problem, "left over after the job: " + kelvra_test::ProcessSnapshot::take().describe() +
                                 "; before: " + before.describe());
    std::printf("feeder job: no descriptor, thread or child left over\n");
    return true;
}

}  // namespace kelvra_soak
