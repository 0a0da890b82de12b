// The entry points as a frontend and SANE's dll meta-backend meet them: their
// argument checks, the device list from one enumeration to the next, and the
// built libraries, which export the entry points and diagnostics only and
// can be loaded, used, unloaded and loaded again.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

using namespace kelvra_test;

TEST(EntryPoints, ArgumentsAreCheckedWithoutTouchingOutputs) {
    SANE_Int version = 0;
    EXPECT_EQ(sane_kelvra_init(nullptr, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_init(&version, nullptr), SANE_STATUS_GOOD);
    EXPECT_EQ(version, 0x01000000);
    device_t device;  // unregistered, never opened
    SANE_Handle handle = &device;
    SANE_Byte data[4];
    SANE_Int length = 77, fd = 55;
    SANE_Parameters params;
    EXPECT_EQ(sane_kelvra_open(nullptr, &handle), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_open("fb-a4", nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_open("FB-A4", &handle), SANE_STATUS_INVAL) << "names match in letter case too";
    EXPECT_EQ(handle, &device);
    EXPECT_EQ(sane_kelvra_get_option_descriptor(nullptr, 0), nullptr);
    EXPECT_EQ(sane_kelvra_get_option_descriptor(&device, 0), nullptr);
    EXPECT_EQ(sane_kelvra_control_option(nullptr, 0, SANE_ACTION_GET_VALUE, &length, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_get_parameters(nullptr, &params), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_get_parameters(&device, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_start(nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_read(nullptr, data, 4, &length), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_read(&device, nullptr, 4, &length), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_read(&device, data, 4, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(length, 77) << "a refused read leaves *length alone";
    EXPECT_EQ(sane_kelvra_get_select_fd(nullptr, &fd), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_get_select_fd(&device, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(fd, 55);
    EXPECT_EQ(sane_kelvra_get_select_fd(&device, &fd), SANE_STATUS_INVAL) << "no page, no descriptor";
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(sane_kelvra_set_io_mode(nullptr, SANE_TRUE), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(sane_kelvra_set_io_mode(&device, SANE_TRUE), SANE_STATUS_UNSUPPORTED);
    EXPECT_EQ(sane_kelvra_set_io_mode(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_kelvra_set_io_mode(&device, SANE_FALSE), SANE_STATUS_GOOD);
    sane_kelvra_close(nullptr);
    sane_kelvra_close(&device);  // not registered: not looked into
    sane_kelvra_cancel(nullptr);
    sane_kelvra_exit();
}

std::vector<std::string> listed(const SANE_Device** list) {
    std::vector<std::string> text;
    for (; list != nullptr && *list != nullptr; ++list)
        text.push_back(std::string((*list)->name) + "|" + (*list)->vendor + "|" + (*list)->model + "|" + (*list)->type);
    return text;
}

// Every enumeration asks a scan-manager of its own and replaces the list,
// whatever local_only says; a refused call and exit leave nothing behind.
TEST(DeviceList, EachEnumerationReplacesTheListAndExitReleasesIt) {
    const ProcessSnapshot before = ProcessSnapshot::take();
    Scenario scenario(
        "<device name=\"test:one\" vendor=\"Vendor One\" model=\"Model &amp; One\" type=\"flatbed scanner\" "
        "usb_serial_id=\"S1\"/><device name=\"test:two\" vendor=\"V2\" model=\"M2\" type=\"sheetfed scanner\"/>");
    const std::vector<std::string> expected = {"test:one|Vendor One|Model & One|flatbed scanner",
                                               "test:two|V2|M2|sheetfed scanner"};
    sane_kelvra_exit();  // before any enumeration: harmless
    const SANE_Device** list = nullptr;
    for (SANE_Bool local_only : {SANE_TRUE, SANE_FALSE}) {
        ASSERT_EQ(sane_kelvra_get_devices(&list, local_only), SANE_STATUS_GOOD);
        EXPECT_EQ(listed(list), expected);
        ASSERT_EQ(g_device_infos.size(), 2u) << "refilled, not appended to";
        EXPECT_EQ(g_device_infos[0].usb_serial_id, "S1") << "the whole record is kept for open";
    }
    EXPECT_EQ(sane_kelvra_get_devices(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
    EXPECT_EQ(listed(list), expected) << "a refused call keeps the list";
    const auto requests = scenario.frames_with_command(0);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].pid, requests[1].pid);
    for (int twice = 0; twice < 2; ++twice) sane_kelvra_exit();
    EXPECT_EQ(g_device_list, nullptr);
    EXPECT_TRUE(g_device_infos.empty());
    EXPECT_TRUE(returns_to(before)) << ProcessSnapshot::take().describe();
}

std::string output_of(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
        pclose(pipe);
    }
    return text;
}

class LibraryExports : public testing::TestWithParam<const char*> {};

TEST_P(LibraryExports, ExactlyTheEntryPointsAndDiagnosticsUnderSonameVersionOne) {
    const std::string split_string = "_Z12split_stringRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_";
    std::set<std::string> symbols, expected = {"debug", "get_status_string", "debug_option", "debug_option_value",
                                               "debug_parameters", "xml_debug", split_string};
    for (const char* name : {"init", "exit", "get_devices", "open", "close", "get_option_descriptor", "control_option",
                             "get_parameters", "start", "read", "cancel", "set_io_mode", "get_select_fd"})
        expected.insert(std::string("sane_kelvra_") + name);
    std::istringstream lines(output_of(std::string("nm -D --defined-only '") + GetParam() + "'"));
    for (std::string address, type, name; lines >> address >> type >> name;) {
        symbols.insert(name);
        if (name == split_string) {
            EXPECT_EQ(type, "W") << "split_string is weak";
        }
    }
    EXPECT_EQ(symbols, expected);
    const std::string dynamic = output_of(std::string("readelf -d '") + GetParam() + "'");
    EXPECT_NE(dynamic.find("Library soname: [libsane-kelvra.so.1]"), std::string::npos);
    EXPECT_EQ(dynamic.find("libsane.so"), std::string::npos) << "the backend must not link libsane";
}

INSTANTIATE_TEST_SUITE_P(Flavours, LibraryExports, testing::Values(KELVRA_SHIPPED_LIBRARY, KELVRA_TESTING_LIBRARY));

// As the dll meta-backend does; unloading also takes the cancel signal's handler.
TEST(LibraryLoading, LoadsUsesUnloadsAndLoadsAgain) {
    const ProcessSnapshot before = ProcessSnapshot::take();
    for (int round = 0; round < 2; ++round) {
        void* library = dlopen(KELVRA_TESTING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto symbol = [&](const char* name) { return dlsym(library, (std::string("sane_kelvra_") + name).c_str()); };
        auto init = reinterpret_cast<decltype(&sane_kelvra_init)>(symbol("init"));
        auto get_devices = reinterpret_cast<decltype(&sane_kelvra_get_devices)>(symbol("get_devices"));
        auto open = reinterpret_cast<decltype(&sane_kelvra_open)>(symbol("open"));
        auto start = reinterpret_cast<decltype(&sane_kelvra_start)>(symbol("start"));
        auto close = reinterpret_cast<decltype(&sane_kelvra_close)>(symbol("close"));
        auto exit = reinterpret_cast<decltype(&sane_kelvra_exit)>(symbol("exit"));
        ASSERT_TRUE(init && get_devices && open && start && close && exit);
        SANE_Int version = 0;
        const SANE_Device** devices = nullptr;
        SANE_Handle handle = nullptr;
        ASSERT_EQ(init(&version, nullptr), SANE_STATUS_GOOD);
        ASSERT_EQ(get_devices(&devices, SANE_FALSE), SANE_STATUS_GOOD);
        ASSERT_NE(devices[0], nullptr);
        ASSERT_EQ(open(devices[0]->name, &handle), SANE_STATUS_GOOD);
        EXPECT_EQ(start(handle), SANE_STATUS_GOOD);  // closed in mid-page
        close(handle);
        exit();
        EXPECT_EQ(dlclose(library), 0);
    }
    EXPECT_TRUE(returns_to(before)) << ProcessSnapshot::take().describe();
}

}  // namespace
