// Fuzz target: the input is the content of the configuration file.
#include "fuzz/reply_checks.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

std::string config_path;

void remove_config() { unlink(config_path.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The file is rewritten for every input: memory-backed /dev/shm is many
    // times faster than a disk, where one is available.
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string directories[] = {"/dev/shm", tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp", "/tmp"};
    for (const std::string& directory : directories) {
        std::string name = directory + "/kelvra-fuzz-config-XXXXXX";
        int fd = mkstemp(name.data());
        if (fd < 0) continue;
        close(fd);
        config_path = name;
        std::atexit(remove_config);
        return 0;
    }
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kelvra_fuzz::fail_on(kelvra_fuzz::run_config(data, size, config_path.c_str()));
}
