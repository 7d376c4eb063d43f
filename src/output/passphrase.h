// Passphrases: words drawn from the EFF long word list (7776 words, 12.9
// bits each), which the build takes from Debian's xkcdpass package and
// compiles in (the list is the EFF's, CC BY 3.0). Draws come from the
// generator of output/generator.h, unbiased.
#pragma once

#include <cstddef>
#include <string_view>

#include "memory/secret.h"

inline constexpr std::size_t eff_long_count = 7776;

// The list in its own (alphabetical) order.
extern const char *const eff_long_words[eff_long_count];

struct passphrase_style {
    std::string_view separator = "-";  // between words
    bool capitalize = false;           // first letter of every word
};

// `words` words (1 or more), each drawn on its own, joined by the separator.
secret_string draw_passphrase(std::size_t words, const passphrase_style &style);

// log2(7776) bits a word.
double passphrase_word_bits();
