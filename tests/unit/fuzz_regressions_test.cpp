// The fuzz targets' inputs as ordinary tests: every seed of the corpora under
// fuzz/corpus/ and every input the fuzzers found troublesome goes through the
// same reply procedures and the same checks as in the fuzz targets, so a
// change that breaks one of them fails here without clang or libFuzzer.
#include "backend/backend.h"
#include "fuzz/reply_checks.h"
#include "tests/unit/ipc_socket_peer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using ipc_test::Bytes;
using ipc_test::concat;
using ipc_test::header_bytes;
namespace fs = std::filesystem;

// A configuration file of this test's own, removed again at the end.
struct ConfigFile {
    const std::string path = testing::TempDir() + "kelvra-fuzz-regression-" + std::to_string(getpid()) + ".conf";
    ~ConfigFile() { unlink(path.c_str()); }
};

// Runs one input through the target of the given name.
std::string run_target(const std::string& target, const Bytes& input) {
    const uint8_t* data = input.data();
    const size_t size = input.size();
    if (target == "fuzz_devices") return kelvra_fuzz::run_devices(data, size);
    if (target == "fuzz_capability") return kelvra_fuzz::run_capability(data, size);
    if (target == "fuzz_image_info") return kelvra_fuzz::run_image_info(data, size);
    if (target == "fuzz_scan_status") return kelvra_fuzz::run_scan_status(data, size);
    if (target == "fuzz_read_reply") return kelvra_fuzz::run_read_reply(data, size);
    if (target == "fuzz_acks") return kelvra_fuzz::run_acks(data, size);
    if (target == "fuzz_config") return kelvra_fuzz::run_config(data, size, ConfigFile().path.c_str());
    return "no fuzz target named " + target;
}

TEST(FuzzCorpus, EverySeedPassesTheTargetsChecks) {
    for (const char* target : {"fuzz_devices", "fuzz_capability", "fuzz_image_info", "fuzz_scan_status",
                               "fuzz_read_reply", "fuzz_acks", "fuzz_config"}) {
        const fs::path directory = fs::path(KELVRA_SOURCE_DIR) / "fuzz" / "corpus" / target;
        ASSERT_TRUE(fs::is_directory(directory)) << directory;
        std::vector<fs::path> seeds;
        for (const auto& entry : fs::directory_iterator(directory))
            if (entry.is_regular_file()) seeds.push_back(entry.path());
        std::sort(seeds.begin(), seeds.end());
        EXPECT_GE(seeds.size(), 5u) << "the seed corpus of " << target << " is nearly empty";
        for (const auto& seed : seeds) {
            std::ifstream file(seed, std::ios::binary);
            const Bytes input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            EXPECT_EQ(run_target(target, input), "") << target << "/" << seed.filename().string();
        }
    }
}

// Slow, not wrong: an announced length just under the limit is allocated
// whole (half a second under AddressSanitizer) before the read meets end of
// file. Kept out of the seed corpus for that reason.
TEST(FuzzFinding, PayloadLengthAtTheLimitMeetsEndOfFile) {
    const Bytes input = concat(concat(header_bytes(IPC_CMD_CLOSE_DEVICE, IPC_REPLY, IPC_PAYLOAD_NONE, 0),
                                      header_bytes(IPC_CMD_END_SCAN, IPC_REPLY, IPC_PAYLOAD_NONE, 0)),
                               header_bytes(IPC_CMD_READ_IMAGE, IPC_REPLY, IPC_PAYLOAD_IMAGE, IPC_MAX_PAYLOAD));
    EXPECT_EQ(run_target("fuzz_acks", input), "");
}

// A zero byte once hid the newline of its line from the newline search, so
// the line was taken for one too long and the line after it was swallowed as
// its continuation. The line holds its newline: it ends at the zero byte, and
// the lines after it are read as usual.
TEST(FuzzFinding, ZeroByteInAConfigLineLeavesTheNextLinesAlone) {
    const struct {
        std::string content;
        std::vector<std::string> hosts;
    } cases[] = {
        {std::string("be\0fore\nafter\nthird\n", 20), {"be", "after", "third"}},
        {std::string("\0\nsecond\n", 9), {"second"}},
    };
    for (const auto& c : cases) {
        ConfigFile config;
        std::ofstream(config.path, std::ios::binary) << c.content;
        std::vector<std::string> hosts;
        for (const DiscoveryInfo& host : read_config_hosts(config.path.c_str())) hosts.push_back(host.host_name);
        EXPECT_EQ(hosts, c.hosts) << c.hosts.front();
    }
}

}  // namespace
