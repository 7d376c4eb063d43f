#include "output/passphrase.h"

#include <cmath>

#include "output/generator.h"

secret_string draw_passphrase(std::size_t words, const passphrase_style &style) {
    secret_string phrase;
    for (std::size_t i = 0; i < words; ++i) {
        if (i > 0) phrase += style.separator;
        std::size_t start = phrase.size();
        phrase += eff_long_words[random_index(eff_long_count)];
        char &first = phrase.data()[start];
        if (style.capitalize && first >= 'a' && first <= 'z')
            first = static_cast<char>(first - 'a' + 'A');
    }
    return phrase;
}

double passphrase_word_bits() {
    return std::log2(static_cast<double>(eff_long_count));
}
