// The device list through sane_kelvra_get_devices: its content, its life from
// one enumeration to the next, its failures, and what an enumeration leaves
// behind in the process. These tests never write the configuration file, so
// they use USB devices or scripted replies only.
#include <gtest/gtest.h>
#include <malloc.h>

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
    if (list == nullptr) return result;
    for (const SANE_Device** entry = list; *entry != nullptr; ++entry)
        result.push_back({(*entry)->name, (*entry)->vendor, (*entry)->model, (*entry)->type});
    return result;
}

// A sentinel that no enumeration returns: proves *device_list was written.
const SANE_Device* const kUntouched[] = {nullptr};
const SANE_Device** untouched() { return const_cast<const SANE_Device**>(kUntouched); }

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

TEST_F(DeviceList, ZeroDevicesGiveAnArrayHoldingOnlyTheTerminator) {
    Scenario scenario("<reply command=\"0\" body=\"&lt;devices/&gt;\"/>");
    const SANE_Device** list = untouched();
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list, untouched());
    EXPECT_EQ(list[0], nullptr);
    EXPECT_EQ(list, const_cast<const SANE_Device**>(g_device_list));
    EXPECT_TRUE(g_device_infos.empty());
    expect_nothing_left();
}

TEST_F(DeviceList, RecordsCarryTheStringsTheScanManagerReported) {
    Scenario scenario(kTwoDevices);
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(contents(list), kTwoListed);
    // The full records, in the same order, for open to look a name up in.
    ASSERT_EQ(g_device_infos.size(), 2u);
    EXPECT_EQ(g_device_infos[0].name, "test:one");
    EXPECT_EQ(g_device_infos[0].vendor_id, "0x1");
    EXPECT_EQ(g_device_infos[0].product_id, "0x11");
    EXPECT_EQ(g_device_infos[0].usb_serial_id, "S1");
    EXPECT_EQ(g_device_infos[0].deviceName, "one");
    EXPECT_EQ(g_device_infos[0].host_name, "");
    EXPECT_EQ(g_device_infos[1].name, "test:two");
    EXPECT_EQ(g_device_infos[1].model, "Model Two");
    EXPECT_EQ(g_device_infos[1].deviceName, "two");
    // Each string is the backend's own copy, not a view into the cache.
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(static_cast<const void*>(list[i]->name), static_cast<const void*>(g_device_infos[i].name.c_str()));
        EXPECT_NE(list[i], list[1 - i]);
    }
    expect_nothing_left();
}

TEST_F(DeviceList, BuiltInCatalogueListsItsUsbDevicesInOrder) {
    // The configuration file is not ours to write here; only USB devices are
    // independent of it, and the network one is listed at most at the end.
    Scenario scenario;
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    std::vector<Listed> listed = contents(list);
    if (!listed.empty() && listed.back().name == "net-office") listed.pop_back();
    const std::vector<Listed> expected = {
        {"fb-a4", "Kelvra", "FB-4200 Flatbed", "flatbed scanner"},
        {"mfp-adf", "Kelvra", "MF-5300 ADF", "multi-function peripheral"},
        {"duplex-legal", "Kelvra", "DX-7700 Duplex", "sheetfed scanner"},
    };
    EXPECT_EQ(listed, expected);
    expect_nothing_left();
}

TEST_F(DeviceList, SecondEnumerationReplacesTheFirstList) {
    Scenario scenario(kTwoDevices);
    const SANE_Device** first = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&first, SANE_FALSE), SANE_STATUS_GOOD);
    const std::vector<Listed> first_contents = contents(first);
    const SANE_Device** second = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&second, SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second, const_cast<const SANE_Device**>(g_device_list));
    EXPECT_EQ(contents(second), first_contents);
    EXPECT_EQ(contents(second), kTwoListed);
    EXPECT_EQ(g_device_infos.size(), 2u);  // refilled, not appended to
    // Two discovery requests, each from a scan-manager of its own.
    const auto requests = scenario.frames_with_command(0);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].pid, requests[1].pid);
    expect_nothing_left();
}

TEST_F(DeviceList, RepeatedEnumerationsDoNotGrowTheHeap) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator reports leaks itself";
#else
    Scenario scenario(kTwoDevices);
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    const size_t in_use = mallinfo2().uordblks;
    for (int i = 0; i < 50; ++i) ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    // Even one lost string per call, the smallest heap block of 32 bytes,
    // would be 1600 bytes over fifty calls.
    EXPECT_LT(mallinfo2().uordblks, in_use + 1000) << "grew by " << mallinfo2().uordblks - in_use;
    expect_nothing_left();
#endif
}

TEST_F(DeviceList, LocalOnlyChangesNothing) {
    Scenario scenario(kTwoDevices);
    const SANE_Device** local = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&local, SANE_TRUE), SANE_STATUS_GOOD);
    const std::vector<Listed> local_contents = contents(local);
    const SANE_Device** all = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&all, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(local_contents, kTwoListed);
    EXPECT_EQ(contents(all), local_contents);
    // Both enumerations asked the scan-manager. (Their requests are not
    // compared: the configuration tests may rewrite the file in between.)
    EXPECT_EQ(scenario.frames_with_command(0).size(), 2u);
    expect_nothing_left();
}

TEST_F(DeviceList, NullListPointerIsRefusedAndKeepsThePreviousList) {
    Scenario scenario(kTwoDevices);
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(sane_kelvra_get_devices(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(get_devices(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(list, const_cast<const SANE_Device**>(g_device_list));
    EXPECT_EQ(contents(list), kTwoListed);
    EXPECT_EQ(scenario.frames_with_command(0).size(), 1u);  // nothing was started for them
    expect_nothing_left();
}

// Failures after a good enumeration: the old list is gone whatever happens,
// and the status is that of the step that failed.
struct FailureCase {
    const char* label;
    const char* scenario;
    SANE_Status status;
    bool list;  // an array of zero devices instead of no array
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.label; }

class DeviceListFailure : public DeviceList, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DeviceListFailure, ReleasesThePreviousListAndStopsTheScanManager) {
    const FailureCase& c = GetParam();
    {
        Scenario good(kTwoDevices);
        const SANE_Device** list = nullptr;
        ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
        ASSERT_EQ(contents(list).size(), 2u);
    }
    Scenario scenario(c.scenario);
    const SANE_Device** list = untouched();
    EXPECT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), c.status);
    EXPECT_EQ(list, const_cast<const SANE_Device**>(g_device_list));
    if (c.list) {
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list[0], nullptr);
    } else {
        EXPECT_EQ(list, nullptr);
    }
    EXPECT_TRUE(g_device_infos.empty());
    expect_nothing_left();
}

const FailureCase kFailureCases[] = {
    {"startup_exit", "<startup action=\"exit\"/>", SANE_STATUS_IO_ERROR, false},
    {"startup_negative_port", "<startup port=\"-1\"/>", SANE_STATUS_IO_ERROR, false},
    {"startup_unbound_port", "<startup action=\"unbound\"/>", SANE_STATUS_IO_ERROR, false},
    {"discovery_closed", "<reply command=\"0\" action=\"close\"/>", SANE_STATUS_IO_ERROR, false},
    {"discovery_silent", "<reply command=\"0\" action=\"silence\"/>", SANE_STATUS_IO_ERROR, false},
    {"discovery_cut_in_header", "<reply command=\"0\" action=\"close-mid-header\"/>", SANE_STATUS_IO_ERROR, false},
    {"discovery_wrong_command", "<reply command=\"0\" header_command=\"1\"/>", SANE_STATUS_IO_ERROR, false},
    {"discovery_image_kind", "<reply command=\"0\" kind=\"2\"/>", SANE_STATUS_IO_ERROR, false},
    {"discovery_malformed", "<reply command=\"0\" body=\"&lt;devices&gt;&lt;device\"/>", SANE_STATUS_ACCESS_DENIED,
     false},
    {"discovery_other_root", "<reply command=\"0\" body=\"&lt;other&gt;&lt;device name='x'/&gt;&lt;/other&gt;\"/>",
     SANE_STATUS_GOOD, true},
    {"discovery_zero_devices", "<reply command=\"0\" body=\"&lt;devices/&gt;\"/>", SANE_STATUS_GOOD, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, DeviceListFailure, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(DeviceList, ExitWithoutEnumerationAndTwiceIsHarmless) {
    sane_kelvra_exit();
    sane_kelvra_exit();
    EXPECT_EQ(g_device_list, nullptr);
    Scenario scenario(kTwoDevices);
    const SANE_Device** list = nullptr;
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(g_device_infos.size(), 2u);
    sane_kelvra_exit();
    EXPECT_EQ(g_device_list, nullptr);
    EXPECT_TRUE(g_device_infos.empty());
    sane_kelvra_exit();
    EXPECT_EQ(g_device_list, nullptr);
    // A new enumeration after exit works as the first one did.
    ASSERT_EQ(sane_kelvra_get_devices(&list, SANE_FALSE), SANE_STATUS_GOOD);
    EXPECT_EQ(contents(list), kTwoListed);
    expect_nothing_left();
}

}  // namespace
