// How many guesses a password would take, by the zxcvbn estimate (Debian's
// zxcvbn-c), with the words of the entry's own title, user name and URL
// added as a user dictionary: a password made from the site's name is weak
// even where zxcvbn's own dictionaries do not know that name.
#pragma once

#include <string>
#include <vector>

#include "store/entry.h"

// Below this (10^10 guesses, zxcvbn's scores 0 to 3) a password is weak.
inline constexpr double weak_below_log10 = 10.0;

struct strength {
    double guesses_log10 = 0;  // log10 of the estimated guesses
    // The kinds of pattern found, in words ("a common word or password, a
    // year"); never the password or any part of it.
    std::string patterns;
};

// The user dictionary of `e`: the words (runs of letters and digits, three
// or more, lower case) of its title, user name and URL, where the URL's
// host name falls apart into its labels.
std::vector<std::string> entry_words(const entry &e);

// The estimate for `password` (not empty) with `words` as user dictionary.
// The stack the estimator used is wiped before this returns.
strength estimate_strength(const char *password, const std::vector<std::string> &words);
