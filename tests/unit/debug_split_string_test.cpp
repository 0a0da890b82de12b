// The tokenizer behind the diagnostic drop lists.
#include <gtest/gtest.h>

#include "debug/diagnostics.h"

namespace {

struct SplitCase {
    const char* label;
    std::string text;
    std::string delimiters;
    std::vector<std::string> tokens;
};

void PrintTo(const SplitCase& c, std::ostream* out) { *out << c.label; }

class SplitString : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitString, GivesTheTokensBetweenSeparators) {
    const SplitCase& c = GetParam();
    EXPECT_EQ(split_string(c.text, c.delimiters), c.tokens);
}

const SplitCase kSplitCases[] = {
    {"empty_token_between_commas", "a,,b", ",", {"a", "b"}},
    {"leading_and_trailing_separator", ",a,", ",", {"a"}},
    {"empty_text", "", ",", {}},
    {"only_separators", ",,,", ",", {}},
    {"empty_delimiter_set", "abc", "", {"abc"}},
    {"empty_text_and_delimiters", "", "", {}},
    {"no_separator_in_text", "abc", ",", {"abc"}},
    {"every_delimiter_separates_alone", "a b,c\td\ne", ", \n\t", {"a", "b", "c", "d", "e"}},
    {"mixed_runs", " ,\ta , ,b\n", ", \n\t", {"a", "b"}},
    {"delimiter_set_is_not_a_substring", "a,b", ",,", {"a", "b"}},
    {"multi_character_tokens", "alpha,beta,gamma", ",", {"alpha", "beta", "gamma"}},
    {"single_character_token_at_end", "abc,d", ",", {"abc", "d"}},
    {"category_drop_list", "command, options, debug, ipc", ", \n\t", {"command", "options", "debug", "ipc"}},
    {"operation_drop_list",
     "\tread_image,\tsane_kelvra_get_option_descriptor,\tget_device_option,\tsane_kelvra_control_option,"
     "\tcontrol_device_option,",
     ", \n\t",
     {"read_image", "sane_kelvra_get_option_descriptor", "get_device_option", "sane_kelvra_control_option",
      "control_device_option"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, SplitString, ::testing::ValuesIn(kSplitCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SplitStringText, KeepsTheCharactersOfTokensUnchanged) {
    const std::string text = std::string("x\0y", 3) + ",\x01\xff";
    EXPECT_EQ(split_string(text, ","), (std::vector<std::string>{std::string("x\0y", 3), "\x01\xff"}));
}

}  // namespace
