#include "otp/entry_code.h"

#include <cstdio>
#include <ctime>

std::optional<totp_code> current_entry_code(const entry &e, const std::string &label) {
    std::string why;
    auto params = parse_totp_uri(text_or_empty(e.notes), why);
    std::optional<totp_code> code;
    if (params) code = totp_at(*params, std::time(nullptr), why);
    if (!code) {
        std::string text = label + ": " + why + ".\n";
        text[0] = 'E';  // "Entry 3 (GitHub): ..."
        std::fputs(text.c_str(), stderr);
    }
    return code;
}
