// The configuration file reader: which lines become host names. The fuzz
// model check (fuzz/config_check.cpp) holds every seed of its corpus (comments,
// blanks, line ends, lines of 253 to 600 characters) to the same rules; these
// are the 254/255 edge again, long lines the corpus lacks, the zero byte
// defect, which the model leaves out, and the file itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "backend/backend.h"

namespace {

using Names = std::vector<std::string>;

Names hosts_in(const std::string& path) {
    Names names;
    for (const DiscoveryInfo& host : read_config_hosts(path.c_str())) names.push_back(host.host_name);
    return names;
}
Names hosts_of(const std::string& content) {
    const std::string path = testing::TempDir() + "kelvra-" + std::to_string(getpid()) + ".conf";
    std::ofstream(path, std::ios::binary) << content;
    const Names names = hosts_in(path);
    unlink(path.c_str());
    return names;
}

TEST(ConfigFile, YieldsTheHostNamesOfItsAcceptedLines) {
    const std::string k254(254, 'h'), k1000(1000, 'h');
    const struct {
        const char* label;
        std::string content;
        Names hosts;
    } cases[] = {
        // fgets takes 255 characters at a time: 254 and the newline fit.
        {"line of 254 kept", "before\n" + k254 + "\nafter\n", {"before", k254, "after"}},
        {"line of 255 dropped", "before\n" + std::string(255, 'h') + "\nafter\n", {"before", "after"}},
        {"long line of blanks dropped", std::string(300, ' ') + "x\nafter\n", {"after"}},
        {"long comment dropped whole", "#" + k1000 + "\nafter\n", {"after"}},
        // What is left of the longer line before must not count as a newline.
        {"last line shorter than the one before", "scanner-long-name\nab", {"scanner-long-name"}},
    };
    for (const auto& c : cases) EXPECT_EQ(hosts_of(c.content), c.hosts) << c.label;
}

// A zero byte once hid the newline of its line from the newline search, so
// the line was taken for one too long and the line after it was swallowed as
// its continuation. The line keeps its newline: it ends at the zero byte.
TEST(ConfigFile, ZeroByteInALineLeavesTheNextLinesAlone) {
    EXPECT_EQ(hosts_of(std::string("be\0fore\nafter\nthird\n", 20)), (Names{"be", "after", "third"}));
    EXPECT_EQ(hosts_of(std::string("\0\nsecond\n", 9)), Names{"second"});
}

TEST(ConfigFile, MissingFileOrADirectoryGivesNoHostsAndAReadFileIsClosed) {
    EXPECT_EQ(hosts_in("/nonexistent/kelvra.conf").size() + hosts_in(testing::TempDir()).size(), 0u);
    const int lowest_free = dup(0);
    close(lowest_free);
    hosts_of("a\n" + std::string(1000, 'h') + "\nb");
    const int after = dup(0);
    close(after);
    EXPECT_EQ(after, lowest_free) << "the file was left open";
}

}  // namespace
