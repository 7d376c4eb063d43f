// Whole numbers typed by a person: digits only, within the bounds given.
#include <gtest/gtest.h>

#include "state/numbers.h"

TEST(WholeNumber, TakesDigitsWithinTheBoundsAndNothingElse) {
    struct {
        const char *text;
        int low, high;
        std::optional<int> value;
    } cases[] = {
        {"6", 6, 8, 6},          {"8", 6, 8, 8},          {"5", 6, 8, std::nullopt},
        {"9", 6, 8, std::nullopt}, {"0", 0, 9, 0},        {"9", 0, 9, 9},
        {"090", 0, 999, 90},     {"999999999", 1, 999999999, 999999999},
        {"1000000000", 1, 999999999, std::nullopt},  // ten digits
        {"", 0, 9, std::nullopt}, {"-1", -5, 5, std::nullopt}, {"+1", 0, 9, std::nullopt},
        {" 1", 0, 9, std::nullopt}, {"1 ", 0, 9, std::nullopt}, {"1x", 0, 99, std::nullopt},
        {"/", 0, 99, std::nullopt}, {":", 0, 99, std::nullopt},  // the bytes around the digits
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_whole_number(c.text, c.low, c.high), c.value)
            << '"' << c.text << "\" in [" << c.low << ", " << c.high << "]";
}
