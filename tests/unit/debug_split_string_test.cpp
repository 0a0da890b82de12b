// The tokenizer behind the diagnostic drop lists; the lists themselves are
// checked word by word through debug (debug_log_test.cpp).
#include <gtest/gtest.h>

#include "debug/diagnostics.h"

namespace {

TEST(SplitString, GivesTheTokensBetweenSeparators) {
    const struct {
        std::string text, delimiters;
        std::vector<std::string> tokens;
    } cases[] = {
        {"a,,b", ",", {"a", "b"}},
        {",a,", ",", {"a"}},
        {"", ",", {}},
        {",,,", ",", {}},
        {"abc", "", {"abc"}},
        {"", "", {}},
        {"a b,c\td\ne", ", \n\t", {"a", "b", "c", "d", "e"}},  // every delimiter separates alone
        {" ,\ta , ,b\n", ", \n\t", {"a", "b"}},
        {"a,b", ",,", {"a", "b"}},
        {"abc,d", ",", {"abc", "d"}},
        // Tokens keep their characters, zero bytes included.
        {std::string("x\0y", 3) + ",\x01\xff", ",", {std::string("x\0y", 3), "\x01\xff"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.text << "\" split at \"" << c.delimiters << '"');
        EXPECT_EQ(split_string(c.text, c.delimiters), c.tokens);
    }
}

}  // namespace
