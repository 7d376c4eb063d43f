#include "cli/field_matcher.h"

#include <cstring>

namespace {

// Characters with a meaning of their own somewhere in a basic regular
// expression. ^ and $ count as plain text only in the anchor positions that
// compile() handles itself.
bool is_plain(char c) {
    return std::strchr(".[]*\\^$", c) == nullptr;
}

}  // namespace

field_matcher::~field_matcher() {
    if (compiled_) regfree(&re_);
}

bool field_matcher::compile(const char *pattern) {
    if (regcomp(&re_, pattern, REG_NOSUB) != 0) return false;
    compiled_ = true;

    std::string text(pattern);
    at_start_ = !text.empty() && text.front() == '^';
    if (at_start_) text.erase(0, 1);
    at_end_ = !text.empty() && text.back() == '$';
    if (at_end_) text.pop_back();
    literal_ = true;
    for (char c : text) literal_ = literal_ && is_plain(c);
    text_ = std::move(text);
    return true;
}

bool field_matcher::matches(const char *text) const {
    if (!literal_) return regexec(&re_, text, 0, nullptr, 0) == 0;

    std::size_t length = std::strlen(text);
    if (length < text_.size()) return false;
    if (at_start_ && at_end_) return length == text_.size() && text_.compare(text) == 0;
    if (at_start_) return std::memcmp(text, text_.data(), text_.size()) == 0;
    if (at_end_) return std::memcmp(text + length - text_.size(), text_.data(), text_.size()) == 0;
    return std::strstr(text, text_.c_str()) != nullptr;
}
