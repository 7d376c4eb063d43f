// Random password generator over a fixed 72-character alphabet, fed by
// OpenSSL's RAND_bytes with rejection sampling, so every index is equally
// likely.
#pragma once

#include <cstdint>

// The alphabet; "?" and ")" appear twice.
extern const char password_charset[73];

// Maps one 32-bit draw to an alphabet character, or returns '\0' when the
// draw is above the acceptance bound 2147483591 and must be drawn again.
char password_char_for_draw(std::uint32_t draw);

// New password of `length` characters (xmalloc'd; caller wipes and frees),
// also printed as "%s\n" on standard output; nullptr and no output when
// length < 1. Prints "Warning, random number generator not seeded.\n" on
// standard output when RAND_status says so. A failing RAND_bytes prints
// OpenSSL's errors and aborts.
char *generate_password(int length);
