#include "output/generator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/err.h>
#include <openssl/rand.h>

#include "memory/secret.h"

const char password_charset[73] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789?)(/%#!?)=";

namespace {

// 72 bands of equal width below the bound keep every index equally likely.
// The bound is taken from the signed 31-bit range, so about half of all
// draws are discarded; that only costs time.
constexpr std::uint32_t acceptance_bound = 2147483591;
constexpr std::uint32_t band_width = 29826161;
static_assert(acceptance_bound + 1 == 72u * band_width);
static_assert(sizeof password_charset == 72 + 1);

std::uint32_t draw() {
    unsigned char bytes[4];
    // -1 (unsupported method) leaves the bytes as invalid as 0 does.
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        ERR_print_errors_fp(stderr);
        std::abort();
    }
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    wipe(bytes, sizeof bytes);
    return value;
}

}  // namespace

char password_char_for_draw(std::uint32_t draw) {
    if (draw > acceptance_bound) return '\0';
    return password_charset[draw / band_width];
}

char *generate_password(int length) {
    if (length < 1) return nullptr;

    RAND_poll();
    if (RAND_status() != 1) std::fputs("Warning, random number generator not seeded.\n", stdout);

    // Widen before adding: length + 1 overflows an int for INT_MAX.
    std::size_t count = static_cast<std::size_t>(length);
    auto *password = static_cast<char *>(xmalloc(count + 1));
    for (std::size_t i = 0; i < count; ++i) {
        char c;
        do {
            std::uint32_t value = draw();
            c = password_char_for_draw(value);
            wipe(&value, sizeof value);
        } while (c == '\0');
        password[i] = c;
    }
    password[count] = '\0';

    std::printf("%s\n", password);
    return password;
}
