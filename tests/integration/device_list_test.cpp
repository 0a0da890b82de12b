// The device list through sane_kelvra_get_devices: its content, its life from
// one enumeration to the next, its failures, and what an enumeration leaves
// behind in the process. These tests never write the configuration file, so
// they use scripted devices and replies only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend/backend.h"
#include "tests/support/entry_points.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using kelvra_test::ProcessSnapshot;
using kelvra_test::Scenario;

struct Listed {
    std::string name, vendor, model, type;
    bool operator==(const Listed&) const = default;
};

void PrintTo(const Listed& d, std::ostream* out) {
    *out << "{" << d.name << ", " << d.vendor << ", " << d.model << ", " << d.type << "}";
}

std::vector<Listed> contents(const SANE_Device** list) {
    std::vector<Listed> result;
    for (const SANE_Device** entry = list; entry != nullptr && *entry != nullptr; ++entry)
        result.push_back({(*entry)->name, (*entry)->vendor, (*entry)->model, (*entry)->type});
    return result;
}

const SANE_Device** global_list() { return const_cast<const SANE_Device**>(g_device_list); }

class DeviceList : public ::testing::Test {
protected:
    void SetUp() override { before_ = ProcessSnapshot::take(); }
    void TearDown() override { sane_kelvra_exit(); }

    // Nothing of the enumeration's scan-manager is left: no child, no zombie,
    // no descriptor, no thread.
    void expect_nothing_left() {
        EXPECT_TRUE(kelvra_test::returns_to(before_, 3000))
            << "before: " << before_.describe() << "; now: " << ProcessSnapshot::take().describe();
        EXPECT_EQ(kelvra_test::count_zombie_children(), 0);
        EXPECT_TRUE(kelvra_test::child_processes().empty());
    }

    ProcessSnapshot before_{};
};

const char kTwoDevices[] =
    "<device name=\"test:one\" vendor=\"Vendor One\" model=\"Model &amp; One\" type=\"flatbed scanner\" "
    "vendor_id=\"0x1\" product_id=\"0x11\" usb_serial_id=\"S1\" deviceName=\"one\"/>\n"
    "<device name=\"test:two\" vendor=\"Vendor Two\" model=\"Model Two\" type=\"sheetfed scanner\" "
    "vendor_id=\"0x2\" product_id=\"0x22\" usb_serial_id=\"S2\" deviceName=\"two\" units=\"flatbed adf\"/>\n";

const std::vector<Listed> kTwoListed = {
    {"test:one", "Vendor One", "Model & One", "flatbed scanner"},
    {"test:two", "Vendor Two", "Model Two", "sheetfed scanner"},
};

TEST_F(DeviceList, RecordsCarryTheStringsTheScanManagerReported) {
    Scenario scenario(kTwoDevices);
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(contents(list), kTwoListed);
    // The full records, in the same order, for open to look a name up in.
    ASSERT_EQ(g_device_infos.size(), 2u);
    EXPECT_EQ(g_device_infos[0].usb_serial_id, "S1");
    EXPECT_EQ(g_device_infos[1].deviceName, "two");
    // Each string is the backend's own copy, not a view into the cache.
    EXPECT_NE(static_cast<const void*>(list[0]->name), static_cast<const void*>(g_device_infos[0].name.c_str()));
    expect_nothing_left();
}

TEST_F(DeviceList, EachEnumerationReplacesTheListWhateverLocalOnlySays) {
    Scenario scenario(kTwoDevices);
    const SANE_Device** local = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&local, SANE_TRUE), SANE_STATUS_GOOD);
    EXPECT_EQ(contents(local), kTwoListed);
    const SANE_Device** all = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&all, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(all, global_list());
    EXPECT_EQ(contents(all), kTwoListed);
    EXPECT_EQ(g_device_infos.size(), 2u);  // refilled, not appended to
    // Two discovery requests, each from a scan-manager of its own.
    const auto requests = scenario.frames_with_command(0);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].pid, requests[1].pid);
    expect_nothing_left();
}

TEST_F(DeviceList, NullListPointerIsRefusedAndKeepsThePreviousList) {
    Scenario scenario(kTwoDevices);
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(sane_kelvra_get_devices(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(get_devices(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(list, global_list());
    EXPECT_EQ(contents(list), kTwoListed);
    EXPECT_EQ(scenario.frames_with_command(0).size(), 1u);  // nothing was started for them
    expect_nothing_left();
}

// Enumerations after a good one: the old list is gone whatever happens, and
// the status is that of the step that failed.
struct OutcomeCase {
    const char* label;
    const char* scenario;
    SANE_Status status;
    int devices;  // entries of the array, all with empty strings; -1: no array at all
};

void PrintTo(const OutcomeCase& c, std::ostream* out) { *out << c.label; }

class EnumerationOutcome : public DeviceList, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(EnumerationOutcome, ReleasesThePreviousListAndStopsTheScanManager) {
    const OutcomeCase& c = GetParam();
    {
        Scenario good(kTwoDevices);
        const SANE_Device** list = nullptr;
        ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
        ASSERT_EQ(contents(list).size(), 2u);
    }
    Scenario scenario(c.scenario);
    static const SANE_Device* const untouched[] = {nullptr};
    const SANE_Device** list = const_cast<const SANE_Device**>(untouched);  // proves *device_list is written
    EXPECT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), c.status);
    EXPECT_EQ(list, global_list());
    if (c.devices < 0) {
        EXPECT_EQ(list, nullptr);
        EXPECT_TRUE(g_device_infos.empty());
    } else {
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(contents(list), std::vector<Listed>(static_cast<size_t>(c.devices)));
        EXPECT_EQ(g_device_infos.size(), static_cast<size_t>(c.devices));
    }
    expect_nothing_left();
}

const OutcomeCase kOutcomeCases[] = {
    {"startup_exit", "<startup action=\"exit\"/>", SANE_STATUS_IO_ERROR, -1},
    {"discovery_closed", "<reply command=\"0\" action=\"close\"/>", SANE_STATUS_IO_ERROR, -1},
    {"discovery_wrong_command", "<reply command=\"0\" header_command=\"1\"/>", SANE_STATUS_IO_ERROR, -1},
    {"discovery_malformed", "<reply command=\"0\" body=\"&lt;devices&gt;&lt;device\"/>", SANE_STATUS_ACCESS_DENIED,
     -1},
    {"discovery_other_root", "<reply command=\"0\" body=\"&lt;other&gt;&lt;device name='x'/&gt;&lt;/other&gt;\"/>",
     SANE_STATUS_GOOD, 0},
    {"discovery_zero_devices", "<reply command=\"0\" body=\"&lt;devices/&gt;\"/>", SANE_STATUS_GOOD, 0},
    {"device_without_attributes", "<reply command=\"0\" body=\"&lt;devices&gt;&lt;device/&gt;&lt;/devices&gt;\"/>",
     SANE_STATUS_GOOD, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, EnumerationOutcome, ::testing::ValuesIn(kOutcomeCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(DeviceList, ExitWithoutEnumerationAndTwiceIsHarmless) {
    sane_kelvra_exit();
    sane_kelvra_exit();
    EXPECT_EQ(g_device_list, nullptr);
    Scenario scenario(kTwoDevices);
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    sane_kelvra_exit();
    EXPECT_EQ(g_device_list, nullptr);
    EXPECT_TRUE(g_device_infos.empty());
    sane_kelvra_exit();
    // A new enumeration after exit works as the first one did.
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(contents(list), kTwoListed);
    expect_nothing_left();
}

}  // namespace
