// Whole numbers typed by a person: an option argument, an environment
// variable, a parameter of a URI.
#pragma once

#include <optional>
#include <string_view>

// `text` as a number in [low, high] when it is written in decimal digits
// only (no sign, no blanks, at most 9 digits); nothing otherwise.
std::optional<int> parse_whole_number(std::string_view text, int low, int high);
