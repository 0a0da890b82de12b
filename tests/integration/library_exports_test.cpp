// The built libraries export the thirteen entry points and the diagnostics,
// nothing else, and can be loaded, used, unloaded and loaded again.
#include <dlfcn.h>
#include <sane/sane.h>

#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/process_state.h"
#include "tests/support/scenario.h"

namespace {

std::set<std::string> exported_symbols(const std::string& library) {
    std::set<std::string> symbols;
    std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return symbols;
    char line[1024];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        auto last_space = text.rfind(' ');
        if (last_space != std::string::npos) symbols.insert(text.substr(last_space + 1));
    }
    pclose(pipe);
    return symbols;
}

const std::set<std::string> kExpected = {
    "sane_kelvra_init", "sane_kelvra_exit", "sane_kelvra_get_devices", "sane_kelvra_open",
    "sane_kelvra_close", "sane_kelvra_get_option_descriptor", "sane_kelvra_control_option",
    "sane_kelvra_get_parameters", "sane_kelvra_start", "sane_kelvra_read", "sane_kelvra_cancel",
    "sane_kelvra_set_io_mode", "sane_kelvra_get_select_fd",
    "debug", "get_status_string", "debug_option", "debug_option_value", "debug_parameters", "xml_debug",
    "_Z12split_stringRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_",
};

class LibraryExports : public testing::TestWithParam<const char*> {};

TEST_P(LibraryExports, ExactlyTheEntryPointsAndDiagnostics) {
    EXPECT_EQ(exported_symbols(GetParam()), kExpected);
}

TEST_P(LibraryExports, SplitStringIsWeakAndSonameIsVersionOne) {
    std::string command = std::string("nm -D --defined-only '") + GetParam() + "' | grep split_string";
    FILE* pipe = popen(command.c_str(), "r");
    char line[512] = {};
    ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
    pclose(pipe);
    EXPECT_NE(std::string(line).find(" W "), std::string::npos) << line;

    command = std::string("readelf -d '") + GetParam() + "'";
    pipe = popen(command.c_str(), "r");
    std::string dynamic;
    while (fgets(line, sizeof line, pipe) != nullptr) dynamic += line;
    pclose(pipe);
    EXPECT_NE(dynamic.find("Library soname: [libsane-kelvra.so.1]"), std::string::npos);
    EXPECT_EQ(dynamic.find("libsane.so"), std::string::npos) << "the backend must not link libsane";
}

INSTANTIATE_TEST_SUITE_P(Flavours, LibraryExports,
                         testing::Values(KELVRA_SHIPPED_LIBRARY, KELVRA_TESTING_LIBRARY));

// As SANE's dll meta-backend does: load, use, unload, and load again.
TEST(LibraryLoading, LoadsUsesUnloadsAndLoadsAgain) {
    kelvra_test::Scenario scenario;
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
        EXPECT_EQ(version, 0x01000000);
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
