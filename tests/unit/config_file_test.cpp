// The configuration file reader: which lines become host names, and how.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "backend/backend.h"

namespace {

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/kelvra-config-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made != nullptr) path_ = made;
    }
    ~TemporaryDirectory() {
        if (path_.empty()) return;
        unlink(file().c_str());
        rmdir(path_.c_str());
    }
    std::string file() const { return path_ + "/kelvra.conf"; }
    bool valid() const { return !path_.empty(); }

private:
    std::string path_;
};

bool write_file(const std::string& path, const std::string& content) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = fwrite(content.data(), 1, content.size(), file) == content.size();
    return fclose(file) == 0 && written;
}

std::vector<std::string> names(const std::vector<DiscoveryInfo>& hosts) {
    std::vector<std::string> result;
    for (const DiscoveryInfo& host : hosts) result.push_back(host.host_name);
    return result;
}

struct ConfigCase {
    const char* label;
    std::string content;
    std::vector<std::string> hosts;
};

void PrintTo(const ConfigCase& c, std::ostream* out) { *out << c.label; }

class ConfigFile : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigFile, YieldsTheHostNamesOfItsAcceptedLines) {
    const ConfigCase& c = GetParam();
    TemporaryDirectory directory;
    ASSERT_TRUE(directory.valid());
    ASSERT_TRUE(write_file(directory.file(), c.content));
    EXPECT_EQ(names(read_config_hosts(directory.file().c_str())), c.hosts);
}

const std::string k254(254, 'h');
const std::string k255(255, 'h');
const std::string k256(256, 'h');
const std::string k510(510, 'h');
const std::string k1000(1000, 'h');

const ConfigCase kConfigCases[] = {
    {"empty_file", "", {}},
    {"one_host", "scanner-1\n", {"scanner-1"}},
    {"comment_in_first_column", "# scanner-1\nscanner-2\n", {"scanner-2"}},
    {"comment_without_blank", "#scanner-1\n", {}},
    {"blanks_then_hash_is_not_a_comment", "  # word\n", {"#word"}},
    {"tab_then_hash_is_not_a_comment", "\t#word\n", {"#word"}},
    {"blank_inside_a_name", "office scanner\n", {"officescanner"}},
    {"blanks_and_tabs_inside_a_name", " \toffice \t scanner\t \n", {"officescanner"}},
    {"hash_after_a_name", "name #x\n", {"name#x"}},
    {"blank_line", "\nscanner-1\n", {"scanner-1"}},
    {"whitespace_only_lines", " \n\t\n \t \t\nscanner-1\n", {"scanner-1"}},
    {"order_kept", "c\na\nb\n", {"c", "a", "b"}},
    {"carriage_return_kept", "scanner-1\r\nscanner-2\r\n", {"scanner-1\r", "scanner-2\r"}},
    {"carriage_return_alone_is_a_name", "\r\n", {"\r"}},
    {"other_characters_kept", "a=b;\"c\"\\d\x01\n", {"a=b;\"c\"\\d\x01"}},
    {"duplicates_kept", "scanner-1\nscanner-2\nscanner-1\n", {"scanner-1", "scanner-2", "scanner-1"}},
    {"line_of_254_accepted", k254 + "\n", {k254}},
    {"line_of_254_blanks_around", "a" + std::string(252, ' ') + "b\n", {"ab"}},
    {"line_of_255_dropped", "before\n" + k255 + "\nafter\n", {"before", "after"}},
    {"line_of_256_dropped", k256 + "\nafter\n", {"after"}},
    {"line_of_510_dropped", k510 + "\nafter\n", {"after"}},
    {"line_of_1000_dropped", "before\n" + k1000 + "\nafter\n", {"before", "after"}},
    {"long_line_of_blanks_dropped", std::string(300, ' ') + "x\nafter\n", {"after"}},
    {"long_comment_dropped_whole", "#" + k1000 + "\nafter\n", {"after"}},
    {"last_line_without_newline_dropped", "scanner-1\nscanner-2", {"scanner-1"}},
    {"only_line_without_newline_dropped", "scanner-1", {}},
    {"long_last_line_without_newline_dropped", "scanner-1\n" + k1000, {"scanner-1"}},
    {"last_line_shorter_than_the_one_before", "scanner-long-name\nab", {"scanner-long-name"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConfigFile, ::testing::ValuesIn(kConfigCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ConfigFileMissing, GivesNoHosts) {
    TemporaryDirectory directory;
    ASSERT_TRUE(directory.valid());
    EXPECT_TRUE(read_config_hosts(directory.file().c_str()).empty());
}

TEST(ConfigFileMissing, DirectoryInsteadOfFileGivesNoHosts) {
    TemporaryDirectory directory;
    ASSERT_TRUE(directory.valid());
    ASSERT_TRUE(write_file(directory.file(), "scanner-1\n"));
    const std::string folder = directory.file().substr(0, directory.file().rfind('/'));
    EXPECT_TRUE(read_config_hosts(folder.c_str()).empty());
}

TEST(ConfigFileDescriptors, AreAllClosedAfterReading) {
    TemporaryDirectory directory;
    ASSERT_TRUE(directory.valid());
    ASSERT_TRUE(write_file(directory.file(), "a\n" + k1000 + "\nb"));
    const int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    read_config_hosts(directory.file().c_str());
    // The lowest free descriptor is the same again: the file was closed.
    const int after = dup(0);
    close(after);
    EXPECT_EQ(after, probe);
}

}  // namespace
