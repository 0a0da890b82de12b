// The configuration file reader: which lines become host names, and how. The
// common cases also run end to end, through the discovery request, in
// tests/config/; these are the boundaries of the line buffer and the rest.
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
    std::vector<std::string> hosts_of(const std::string& content) {
        std::ofstream(path(), std::ios::binary) << content;
        return names(path().c_str());
    }
    static std::vector<std::string> names(const char* path) {
        std::vector<std::string> result;
        for (const DiscoveryInfo& host : read_config_hosts(path)) result.push_back(host.host_name);
        return result;
    }

    char directory_[32] = "/tmp/kelvra-config-XXXXXX";
};

TEST_F(ConfigFile, YieldsTheHostNamesOfItsAcceptedLines) {
    const std::string k1000(1000, 'h');
    const struct {
        const char* label;
        std::string content;
        std::vector<std::string> hosts;
    } cases[] = {
        {"comment without blank", "#scanner-1\nscanner-2\n", {"scanner-2"}},
        {"tab then hash is not a comment", "\t#word\n", {"#word"}},
        {"carriage return alone is a name", "\r\n", {"\r"}},
        {"other characters kept", "a=b;\"c\"\\d\x01\n", {"a=b;\"c\"\\d\x01"}},
        // fgets reads 255 characters, then the newline alone.
        {"line of 255 dropped", "before\n" + std::string(255, 'h') + "\nafter\n", {"before", "after"}},
        {"line of 256 dropped", std::string(256, 'h') + "\nafter\n", {"after"}},
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

TEST_F(ConfigFile, MissingFileOrADirectoryGivesNoHosts) {
    EXPECT_TRUE(names(path().c_str()).empty());
    EXPECT_TRUE(names(directory_).empty());
}

TEST_F(ConfigFile, IsClosedAfterReading) {
    const int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    hosts_of("a\n" + std::string(1000, 'h') + "\nb");
    // The lowest free descriptor is the same again: the file was closed.
    const int after = dup(0);
    close(after);
    EXPECT_EQ(after, probe);
}

}  // namespace
