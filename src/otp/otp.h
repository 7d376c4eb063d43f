// One-time codes: the otpauth://totp/ URI kept in an entry's notes, and the
// time-based code it yields.
//
// parse_totp_uri finds the first such URI in a text and decodes its secret
// (through liboath) into wiped memory owned by the returned record. The code
// and the seconds it stays valid come from totp_at, which takes the time so
// that tests can pin it; the programs pass the clock. Nothing here prints:
// failures come back with the reason, for the caller to report next to the
// entry it concerns.
#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "memory/secret.h"

enum class otp_algorithm { sha1, sha256, sha512 };

struct totp_params {
    std::unique_ptr<wiped_buffer> secret;  // decoded key bytes, never empty
    int digits = 6;                        // 6 to 8
    int period = 30;                       // seconds, 1 to 86400
    otp_algorithm algorithm = otp_algorithm::sha1;
};

// The first otpauth://totp/ URI in `text` (it ends at white space, a quote or
// an angle bracket). Parameters: secret (base32, any case, padding and spaces
// optional; required), digits, period, algorithm (SHA1, SHA256, SHA512, any
// case); others (issuer, image, ...) are ignored. On failure `why` tells what
// is wrong, as a phrase to follow "entry N (title): ".
std::optional<totp_params> parse_totp_uri(std::string_view text, std::string &why);

struct totp_code {
    secret_string digits;  // the code, e.g. "094287"
    int valid_for = 0;     // seconds until the next period starts
};

// The code for time `now` (seconds since the epoch, at or after it). On
// failure `why` holds liboath's reason.
std::optional<totp_code> totp_at(const totp_params &params, std::time_t now, std::string &why);
