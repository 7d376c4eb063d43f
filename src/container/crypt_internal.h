// Building blocks of encrypt_file and decrypt_file, each a thin call of
// OpenSSL libcrypto. Exposed so that tests can check them against published
// numbers. Failures return false; where a message is printed, the comment
// says so. Nothing here touches a file other than the random device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "container/format.h"
#include "memory/secret.h"

// encrypt_file and decrypt_file pass over the file in chunks of this many
// bytes: a chunk read, encrypted, MACed and written stays in the core's
// cache (1 MiB chunks measured more system time, 4 MiB more still).
inline constexpr std::size_t crypt_chunk_size = std::size_t(256) << 10;

// The result of one key derivation: the key and the salt that produced it.
// Wiped when it goes out of scope.
struct key_material {
    wiped_array<container_format::key_size> key;
    wiped_array<container_format::salt_size> salt;
};

// Fills `out` with n bytes from `device`. Prints "Cannot open /dev/urandom\n"
// when the device cannot be opened; a read error or a short read is a failure
// too (never fewer random bytes than asked for).
bool read_random_bytes(unsigned char *out, std::uint32_t n,
                       const char *device = "/dev/urandom");

// PBKDF2-HMAC-SHA256 of `password` (its bytes, no terminator). Silent.
bool pbkdf2_sha256(const char *password, const unsigned char *salt, std::size_t salt_len,
                   int iterations, unsigned char *out, std::size_t out_len);

// The container's key: PBKDF2-HMAC-SHA256, 200000 iterations, 32 bytes, over
// the 64-byte `salt`, or over a fresh random salt when `salt` is nullptr.
// Prints "Key derivation failed.\n" on failure.
bool derive_key(const char *password, const unsigned char *salt, key_material &out);

// HMAC-SHA512 of data[0, len) under `key`; 64 bytes into `mac`. Silent.
bool hmac_sha512(const unsigned char *key, std::size_t key_len, const unsigned char *data,
                 std::size_t len, unsigned char *mac);

// AES-256-CTR over in[0, length) into out (out == in works in place, other
// overlaps do not). `direction` is 1 to encrypt, 0 to decrypt; in counter
// mode both give the same bytes. Prints "Unable to initialize AES.\n",
// "Unable to process data.\n" or "Unable to finalize.\n" on failure.
bool aes_ctr_transform(const unsigned char *in, std::int32_t length, unsigned char *out,
                       const unsigned char *key, const unsigned char *iv, int direction);
