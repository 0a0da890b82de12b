// The built libraries export the thirteen entry points and the diagnostics,
// nothing else, and can be loaded, used, unloaded and loaded again.
#include <dlfcn.h>
#include <sane/sane.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/process_state.h"

namespace {

std::string output_of(const std::string& command) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    pclose(pipe);
    return text;
}

const char kSplitString[] = "_Z12split_stringRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_";

const std::set<std::string> kExpected = {
    "sane_kelvra_init", "sane_kelvra_exit", "sane_kelvra_get_devices", "sane_kelvra_open",
    "sane_kelvra_close", "sane_kelvra_get_option_descriptor", "sane_kelvra_control_option",
    "sane_kelvra_get_parameters", "sane_kelvra_start", "sane_kelvra_read", "sane_kelvra_cancel",
    "sane_kelvra_set_io_mode", "sane_kelvra_get_select_fd",
    "debug", "get_status_string", "debug_option", "debug_option_value", "debug_parameters", "xml_debug",
    kSplitString,
};

class LibraryExports : public testing::TestWithParam<const char*> {};

TEST_P(LibraryExports, ExactlyTheEntryPointsAndDiagnosticsUnderSonameVersionOne) {
    // One "ADDRESS TYPE NAME" line per defined symbol.
    std::istringstream lines(output_of(std::string("nm -D --defined-only '") + GetParam() + "'"));
    std::set<std::string> symbols;
    std::string address, type, name;
    while (lines >> address >> type >> name) {
        symbols.insert(name);
        if (name == kSplitString) {
            EXPECT_EQ(type, "W") << "split_string is a weak symbol";
        }
    }
    EXPECT_EQ(symbols, kExpected);

    const std::string dynamic = output_of(std::string("readelf -d '") + GetParam() + "'");
    EXPECT_NE(dynamic.find("Library soname: [libsane-kelvra.so.1]"), std::string::npos);
    EXPECT_EQ(dynamic.find("libsane.so"), std::string::npos) << "the backend must not link libsane";
}

INSTANTIATE_TEST_SUITE_P(Flavours, LibraryExports,
                         testing::Values(KELVRA_SHIPPED_LIBRARY, KELVRA_TESTING_LIBRARY));

// As SANE's dll meta-backend does: load, use, unload, and load again.
TEST(LibraryLoading, LoadsUsesUnloadsAndLoadsAgain) {
    auto before = kelvra_test::ProcessSnapshot::take();
    for (int round = 0; round < 2; ++round) {
        void* library = dlopen(KELVRA_TESTING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto init = reinterpret_cast<SANE_Status (*)(SANE_Int*, SANE_Auth_Callback)>(dlsym(library, "sane_kelvra_init"));
        auto get_devices = reinterpret_cast<SANE_Status (*)(const SANE_Device***, SANE_Bool)>(
            dlsym(library, "sane_kelvra_get_devices"));
        auto open = reinterpret_cast<SANE_Status (*)(SANE_String_Const, SANE_Handle*)>(dlsym(library, "sane_kelvra_open"));
        auto close = reinterpret_cast<void (*)(SANE_Handle)>(dlsym(library, "sane_kelvra_close"));
        auto exit = reinterpret_cast<void (*)()>(dlsym(library, "sane_kelvra_exit"));
        ASSERT_TRUE(init && get_devices && open && close && exit);

        SANE_Int version = 0;
        ASSERT_EQ(init(&version, nullptr), SANE_STATUS_GOOD);
        const SANE_Device** devices = nullptr;
        ASSERT_EQ(get_devices(&devices, SANE_FALSE), SANE_STATUS_GOOD);
        ASSERT_NE(devices[0], nullptr);
        SANE_Handle handle = nullptr;
        ASSERT_EQ(open(devices[0]->name, &handle), SANE_STATUS_GOOD);
        close(handle);
        exit();
        EXPECT_EQ(dlclose(library), 0);
    }
    EXPECT_TRUE(kelvra_test::returns_to(before)) << kelvra_test::ProcessSnapshot::take().describe();
}

}  // namespace
