// The configuration file reader: which lines become host names. The fuzz
// model check (fuzz/config_check.cpp) holds every seed of its corpus to the
// same rules; these are the edges of the 255-byte line buffer, the zero byte
// defect, which the model leaves out, and the file itself.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "backend/backend.h"

namespace {

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(directory_), nullptr); }
    void TearDown() override {
        unlink(path().c_str());
        rmdir(directory_);
    }
    std::string path() const { return std::string(directory_) + "/kelvra.conf"; }
    static std::vector<std::string> names(const std::string& path) {
        std::vector<std::string> result;
        for (const DiscoveryInfo& host : read_config_hosts(path.c_str())) result.push_back(host.host_name);
        return result;
    }
    std::vector<std::string> hosts_of(const std::string& content) {
        std::ofstream(path(), std::ios::binary) << content;
        return names(path());
    }

    char directory_[32] = "/tmp/kelvra-config-XXXXXX";
};

TEST_F(ConfigFile, YieldsTheHostNamesOfItsAcceptedLines) {
    const std::string k254(254, 'h'), k1000(1000, 'h');
    const struct {
        const char* label;
        std::string content;
        std::vector<std::string> hosts;
    } cases[] = {
        {"comment, blanks removed", "#scanner-1\n  scan ner\t-2 \n", {"scanner-2"}},
        {"tab then hash is no comment", "\t#word\n", {"#word"}},
        {"carriage return alone is a name", "\r\n", {"\r"}},
        {"other characters kept", "a=b;\"c\"\\d\x01\n", {"a=b;\"c\"\\d\x01"}},
        // fgets takes 255 characters at a time: 254 and the newline fit.
        {"line of 254 kept", "before\n" + k254 + "\nafter\n", {"before", k254, "after"}},
        {"line of 255 dropped", "before\n" + std::string(255, 'h') + "\nafter\n", {"before", "after"}},
        {"line of 510 dropped", std::string(510, 'h') + "\nafter\n", {"after"}},
        {"line of 1000 dropped", k1000 + "\nafter\n", {"after"}},
        {"long line of blanks dropped", std::string(300, ' ') + "x\nafter\n", {"after"}},
        {"long comment dropped whole", "#" + k1000 + "\nafter\n", {"after"}},
        {"only line without newline dropped", "scanner-1", {}},
        {"long last line without newline dropped", "scanner-1\n" + k1000, {"scanner-1"}},
        // What is left of the longer line before must not count as a newline.
        {"last line shorter than the one before", "scanner-long-name\nab", {"scanner-long-name"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(hosts_of(c.content), c.hosts);
    }
}

// A zero byte once hid the newline of its line from the newline search, so
// the line was taken for one too long and the line after it was swallowed as
// its continuation. The line keeps its newline: it ends at the zero byte.
TEST_F(ConfigFile, ZeroByteInALineLeavesTheNextLinesAlone) {
    EXPECT_EQ(hosts_of(std::string("be\0fore\nafter\nthird\n", 20)), (std::vector<std::string>{"be", "after", "third"}));
    EXPECT_EQ(hosts_of(std::string("\0\nsecond\n", 9)), std::vector<std::string>{"second"});
}

TEST_F(ConfigFile, MissingFileOrADirectoryGivesNoHostsAndAReadFileIsClosed) {
    EXPECT_TRUE(names(path()).empty());
    EXPECT_TRUE(names(directory_).empty());
    const int lowest_free = dup(0);
    close(lowest_free);
    hosts_of("a\n" + std::string(1000, 'h') + "\nb");
    const int after = dup(0);
    close(after);
    EXPECT_EQ(after, lowest_free) << "the file was left open";
}

}  // namespace
