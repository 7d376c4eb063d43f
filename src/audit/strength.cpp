#include "audit/strength.h"

#include <zxcvbn.h>

#include <cmath>
#include <memory>

#include "memory/secret.h"

namespace {

struct info_releaser {
    void operator()(ZxcMatch_t *info) const { ZxcvbnFreeInfo(info); }
};
using info_ptr = std::unique_ptr<ZxcMatch_t, info_releaser>;

bool word_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80;
}

void add_words(std::vector<std::string> &words, const char *text) {
    std::string word;
    for (const char *p = text_or_empty(text);; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c != '\0' && word_char(c)) {
            word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            continue;
        }
        if (word.size() >= 3) words.push_back(word);
        word.clear();
        if (c == '\0') break;
    }
}

const char *pattern_name(int type) {
    switch (type & ~MULTIPLE_MATCH) {
    case DICTIONARY_MATCH: return "a common word or password";
    case DICT_LEET_MATCH: return "a common word or password with look-alike characters";
    case USER_MATCH: return "a word of the entry's title, user name or URL";
    case USER_LEET_MATCH:
        return "a word of the entry's title, user name or URL with look-alike characters";
    case REPEATS_MATCH: return "repeated characters";
    case SEQUENCE_MATCH: return "a sequence such as abc or 987";
    case SPATIAL_MATCH: return "a keyboard pattern";
    case DATE_MATCH: return "a date";
    case YEAR_MATCH: return "a year";
    case BRUTE_MATCH: return "a few other characters";
    default: return "characters of no known pattern";
    }
}

// zxcvbn keeps lower-case and substituted copies of the password in its
// stack frames; they are gone once this has run over them.
[[gnu::noinline]] void wipe_stack_below() {
    unsigned char area[64 * 1024];
    wipe(area, sizeof area);
}

}  // namespace

std::vector<std::string> entry_words(const entry &e) {
    std::vector<std::string> words;
    add_words(words, e.title);
    add_words(words, e.user);
    add_words(words, e.url);
    return words;
}

strength estimate_strength(const char *password, const std::vector<std::string> &words) {
    std::vector<const char *> dictionary;
    for (const auto &w : words) dictionary.push_back(w.c_str());
    dictionary.push_back(nullptr);

    ZxcMatch_t *raw = nullptr;
    double bits = ZxcvbnMatch(password, dictionary.data(), &raw);
    info_ptr info(raw);
    wipe_stack_below();

    strength s;
    s.guesses_log10 = bits * std::log10(2.0);
    std::vector<const char *> seen;
    for (const ZxcMatch_t *m = info.get(); m != nullptr; m = m->Next) {
        const char *name = pattern_name(m->Type);
        bool known = false;
        for (const char *n : seen) known = known || n == name;
        if (known) continue;
        seen.push_back(name);
        if (!s.patterns.empty()) s.patterns += ", ";
        s.patterns += name;
        if ((m->Type & MULTIPLE_MATCH) != 0) s.patterns += " repeated";
    }
    if (s.patterns.empty()) s.patterns = pattern_name(NON_MATCH);
    return s;
}
