// The fuzz targets' inputs as ordinary tests: every seed of the corpora under
// fuzz/corpus/ and every input the fuzzers found troublesome goes through the
// same reply procedures and the same checks as in the fuzz targets, so a
// change that breaks one of them fails here without clang or libFuzzer.
#include "fuzz/reply_checks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A configuration file of this test's own, removed again at the end.
class ConfigFile {
public:
    ConfigFile()
        : path_(testing::TempDir() + "kelvra-fuzz-regression-" + std::to_string(getpid()) + ".conf") {}
    ~ConfigFile() { unlink(path_.c_str()); }
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
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
    if (target == "fuzz_config") {
        ConfigFile config;
        return kelvra_fuzz::run_config(data, size, config.path());
    }
    return "no fuzz target named " + target;
}

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// ------------------------------------------------------------ seed corpora

class FuzzCorpus : public testing::TestWithParam<const char*> {};

TEST_P(FuzzCorpus, EverySeedPassesTheTargetsChecks) {
    const std::filesystem::path directory = std::filesystem::path(KELVRA_SOURCE_DIR) / "fuzz" / "corpus" / GetParam();
    ASSERT_TRUE(std::filesystem::is_directory(directory)) << directory;
    std::vector<std::filesystem::path> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.is_regular_file()) seeds.push_back(entry.path());
    std::sort(seeds.begin(), seeds.end());
    ASSERT_GE(seeds.size(), 5u) << "the seed corpus of " << GetParam() << " is nearly empty";
    for (const auto& seed : seeds)
        EXPECT_EQ(run_target(GetParam(), read_file(seed)), "") << seed.filename();
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus,
                         testing::Values("fuzz_devices", "fuzz_capability", "fuzz_image_info", "fuzz_scan_status",
                                         "fuzz_read_reply", "fuzz_acks", "fuzz_config"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// ------------------------------------------------------------ findings

Bytes header(uint32_t command, uint32_t direction, uint32_t kind, uint64_t length) {
    ipc_header_t value{command, direction, kind, length};
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return Bytes(bytes, bytes + sizeof value);
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Finding {
    const char* name;
    const char* target;
    Bytes input;
};

void PrintTo(const Finding& finding, std::ostream* out) { *out << finding.target << "/" << finding.name; }

// Inputs the fuzzers turned up, kept once the fault behind them is fixed.
const Finding kFindings[] = {
    // Slow, not wrong: an announced length just under the limit is
    // allocated whole (half a second under AddressSanitizer) before the
    // read meets end of file. Kept out of the seed corpus for that reason.
    {"payload_length_at_the_limit_meets_end_of_file", "fuzz_acks",
     concat(concat(header(IPC_CMD_CLOSE_DEVICE, IPC_REPLY, IPC_PAYLOAD_NONE, 0),
                   header(IPC_CMD_END_SCAN, IPC_REPLY, IPC_PAYLOAD_NONE, 0)),
            header(IPC_CMD_READ_IMAGE, IPC_REPLY, IPC_PAYLOAD_IMAGE, IPC_MAX_PAYLOAD))},
};

class FuzzFinding : public testing::TestWithParam<Finding> {};

TEST_P(FuzzFinding, PassesTheTargetsChecks) { EXPECT_EQ(run_target(GetParam().target, GetParam().input), ""); }

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzFinding, testing::ValuesIn(kFindings),
                         [](const testing::TestParamInfo<Finding>& info) { return std::string(info.param.name); });

// A zero byte hides the newline of its line from the newline search, so the
// line is taken for one too long and the line after it is swallowed as its
// continuation. The line holds its newline: it ends at the zero byte, and
// the lines after it are read as usual. Disabled until read_config_hosts
// looks for the newline in the bytes that fgets read, not in the C string.
TEST(FuzzConfigFinding, ZeroByteInALineLeavesTheNextLinesAlone) {
    const struct {
        const char* name;
        std::string content;
        std::vector<std::string> hosts;
    } cases[] = {
        {"zero byte inside a name", std::string("be\0fore\nafter\nthird\n", 20), {"be", "after", "third"}},
        {"line of a zero byte alone", std::string("\0\nsecond\n", 9), {"second"}},
    };
    for (const auto& c : cases) {
        ConfigFile config;
        std::ofstream(config.path(), std::ios::binary) << c.content;
        std::vector<std::string> hosts;
        for (const DiscoveryInfo& host : read_config_hosts(config.path())) hosts.push_back(host.host_name);
        EXPECT_EQ(hosts, c.hosts) << c.name;
    }
}

}  // namespace
