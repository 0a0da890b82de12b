// The fuzz targets' inputs as ordinary tests: every seed of the corpora under
// fuzz/corpus/ and every input the fuzzers found troublesome goes through the
// same reply procedures and model checks as in the fuzz targets, so a change
// that breaks one fails here without clang or libFuzzer. The checks prove the
// reply readers' fields and every header rule of the replies and
// acknowledgements (command, direction, kind, length) against the model.
#include "fuzz/reply_checks.h"
#include "ipc/ipc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

std::string run_target(const std::string& target, const Bytes& input) {
    const uint8_t* data = input.data();
    const size_t size = input.size();
    if (target == "fuzz_devices") return kelvra_fuzz::run_devices(data, size);
    if (target == "fuzz_capability") return kelvra_fuzz::run_capability(data, size);
    if (target == "fuzz_image_info") return kelvra_fuzz::run_image_info(data, size);
    if (target == "fuzz_scan_status") return kelvra_fuzz::run_scan_status(data, size);
    if (target == "fuzz_read_reply") return kelvra_fuzz::run_read_reply(data, size);
    if (target == "fuzz_acks") return kelvra_fuzz::run_acks(data, size);
    const std::string path = testing::TempDir() + "kelvra-fuzz-" + std::to_string(getpid()) + ".conf";
    const std::string problem = kelvra_fuzz::run_config(data, size, path.c_str());
    unlink(path.c_str());
    return problem;
}

// Found by the fuzzer, slow but not wrong: an announced length just under
// the limit is allocated whole (half a second under AddressSanitizer) before
// the read meets end of file. Kept out of the seed corpus for that reason.
Bytes payload_length_at_the_limit() {
    Bytes input;
    for (const ipc_header_t header : {ipc_header_t{IPC_CMD_CLOSE_DEVICE, IPC_REPLY, IPC_PAYLOAD_NONE, 0},
                                      ipc_header_t{IPC_CMD_END_SCAN, IPC_REPLY, IPC_PAYLOAD_NONE, 0},
                                      ipc_header_t{IPC_CMD_READ_IMAGE, IPC_REPLY, IPC_PAYLOAD_IMAGE, IPC_MAX_PAYLOAD}})
        input.insert(input.end(), reinterpret_cast<const uint8_t*>(&header), reinterpret_cast<const uint8_t*>(&header + 1));
    return input;
}

TEST(FuzzCorpus, EverySeedAndFindingPassesTheTargetsChecks) {
    for (const char* target : {"fuzz_devices", "fuzz_capability", "fuzz_image_info", "fuzz_scan_status",
                               "fuzz_read_reply", "fuzz_acks", "fuzz_config"}) {
        const fs::path directory = fs::path(KELVRA_SOURCE_DIR) / "fuzz" / "corpus" / target;
        ASSERT_TRUE(fs::is_directory(directory)) << directory;
        std::map<std::string, Bytes> inputs;  // by name, in order
        for (const auto& entry : fs::directory_iterator(directory)) {
            std::ifstream file(entry.path(), std::ios::binary);
            inputs[entry.path().filename()] = Bytes(std::istreambuf_iterator<char>(file), {});
        }
        EXPECT_GE(inputs.size(), 5u) << "the seed corpus of " << target << " is nearly empty";
        if (std::string(target) == "fuzz_acks") inputs["(finding) payload length at the limit"] = payload_length_at_the_limit();
        for (const auto& [name, input] : inputs) EXPECT_EQ(run_target(target, input), "") << target << "/" << name;
    }
}

}  // namespace
