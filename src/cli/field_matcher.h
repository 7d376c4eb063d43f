// Matching entry fields against a POSIX basic regular expression
// (case-sensitive, no sub-matches), as -F does.
//
// Most patterns people type are plain text, perhaps anchored with ^ or $.
// For those a byte comparison answers exactly what regexec would, at a
// small part of its cost per field; every other pattern goes to regexec.
#pragma once

#include <regex.h>

#include <string>

class field_matcher {
public:
    field_matcher() = default;
    ~field_matcher();
    field_matcher(const field_matcher &) = delete;
    field_matcher &operator=(const field_matcher &) = delete;

    // False when regcomp refuses the pattern; nothing is printed.
    bool compile(const char *pattern);

    // True when the pattern matches anywhere in `text` (unless anchored).
    bool matches(const char *text) const;

private:
    regex_t re_{};
    bool compiled_ = false;
    bool literal_ = false;
    bool at_start_ = false;  // leading ^
    bool at_end_ = false;    // trailing $
    std::string text_;       // the literal between the anchors
};
