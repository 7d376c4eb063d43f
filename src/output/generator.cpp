#include "output/generator.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/err.h>
#include <openssl/rand.h>

#include "memory/secret.h"
#include "state/test_hooks.h"

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

}  // namespace

std::uint32_t random_draw() {
    unsigned char bytes[4];
    // -1 (unsupported method) leaves the bytes as invalid as 0 does.
    if (!test_random_bytes(bytes, sizeof bytes) && RAND_bytes(bytes, sizeof bytes) != 1) {
        ERR_print_errors_fp(stderr);
        std::abort();
    }
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    wipe(bytes, sizeof bytes);
    return value;
}

std::uint32_t random_index(std::uint32_t n) {
    // The draws at or above `limit` would favour the low indices.
    const std::uint64_t span = std::uint64_t{1} << 32;
    const std::uint64_t limit = span - span % n;
    for (;;) {
        std::uint32_t value = random_draw();
        if (value < limit) {
            std::uint32_t index = value % n;
            wipe(&value, sizeof value);
            return index;
        }
    }
}

char password_char_for_draw(std::uint32_t draw) {
    if (draw > acceptance_bound) return '\0';
    return password_charset[draw / band_width];
}

void draw_password(char *out, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        char c;
        do {
            std::uint32_t value = random_draw();
            c = password_char_for_draw(value);
            wipe(&value, sizeof value);
        } while (c == '\0');
        out[i] = c;
    }
}

double password_char_bits() {
    double bits = 0;
    const std::size_t size = sizeof password_charset - 1;
    for (std::size_t i = 0; i < size; ++i) {
        // Each position adds its share of its character's -p log2 p.
        std::size_t same = 0;
        for (std::size_t k = 0; k < size; ++k) same += password_charset[k] == password_charset[i];
        double p = static_cast<double>(same) / size;
        bits -= std::log2(p) / size;
    }
    return bits;
}

char *generate_password(int length) {
    if (length < 1) return nullptr;

    RAND_poll();
    if (RAND_status() != 1) std::fputs("Warning, random number generator not seeded.\n", stdout);

    // Widen before adding: length + 1 overflows an int for INT_MAX.
    std::size_t count = static_cast<std::size_t>(length);
    auto *password = static_cast<char *>(xmalloc(count + 1));
    draw_password(password, count);
    password[count] = '\0';

    std::printf("%s\n", password);
    return password;
}
