// The byte-comparison shortcut of -F must answer exactly as regexec does.
#include <regex.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/field_matcher.h"

namespace {

bool regexec_says(const char *pattern, const char *text) {
    regex_t re;
    EXPECT_EQ(regcomp(&re, pattern, REG_NOSUB), 0) << pattern;
    bool match = regexec(&re, text, 0, nullptr, 0) == 0;
    regfree(&re);
    return match;
}

TEST(FieldMatcher, AgreesWithRegexecOnEveryPatternAndText) {
    const std::vector<std::string> patterns = {
        "", "^", "$", "^$", "a", "abc", "^abc", "abc$", "^abc$", "title 12", "^title 12",
        "2024-0", "a+b", "a?b", "a|b", "(a)", "{1}", "a{2}", "100%", "x^y", "x$y",
        "^^a", "a$$", "$a", "a^", "b.c", "a*", "[ab]c", "\\(a\\)", "a\\{2\\}", "\xc3\xa9t\xc3\xa9",
        "ABC", "\t", " "};
    const std::vector<std::string> texts = {
        "", "a", "abc", "xabcx", "ABC", "title 12", "title 123", "my title 12", "2024-03-01 10:00:00",
        "a+b", "a?b", "a|b", "(a)", "{1}", "aa{2}", "100%", "x^y", "x$y", "^a", "a$", "$a",
        "bxc", "\xc3\xa9t\xc3\xa9 here", "tab\there", "two words"};
    for (const auto &pattern : patterns) {
        field_matcher matcher;
        ASSERT_TRUE(matcher.compile(pattern.c_str())) << pattern;
        for (const auto &text : texts)
            EXPECT_EQ(matcher.matches(text.c_str()), regexec_says(pattern.c_str(), text.c_str()))
                << "pattern \"" << pattern << "\" on \"" << text << "\"";
    }
}

TEST(FieldMatcher, RefusesWhatRegcompRefuses) {
    field_matcher matcher;
    EXPECT_FALSE(matcher.compile("[unclosed"));
    field_matcher other;
    EXPECT_FALSE(other.compile("a\\{1"));
}

}  // namespace
