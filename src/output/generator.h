// Random password generator over a fixed 72-character alphabet, fed by
// OpenSSL's RAND_bytes with rejection sampling, so every index is equally
// likely.
#pragma once

#include <cstddef>
#include <cstdint>

// The alphabet; "?" and ")" appear twice.
extern const char password_charset[73];

// Maps one 32-bit draw to an alphabet character, or returns '\0' when the
// draw is above the acceptance bound 2147483591 and must be drawn again.
char password_char_for_draw(std::uint32_t draw);

// 32 random bits from OpenSSL's generator. A failing RAND_bytes prints
// OpenSSL's errors and aborts.
std::uint32_t random_draw();

// An index below `n` (1 to 2^32 - 1), each equally likely: draws that fall
// above the last whole multiple of `n` are rejected and drawn again.
std::uint32_t random_index(std::uint32_t n);

// Fills `out` with `length` alphabet characters (no terminating NUL, no
// output): what generate_password prints, for callers that do not print.
void draw_password(char *out, std::size_t length);

// Entropy of one character in bits: 6.11, not log2(72), since two
// characters stand twice in the alphabet.
double password_char_bits();

// New password of `length` characters (xmalloc'd; caller wipes and frees),
// also printed as "%s\n" on standard output; nullptr and no output when
// length < 1. Prints "Warning, random number generator not seeded.\n" on
// standard output when RAND_status says so. A failing RAND_bytes prints
// OpenSSL's errors and aborts.
char *generate_password(int length);
