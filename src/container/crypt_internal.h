// Building blocks of the container's encryption and decryption, each a thin
// call of OpenSSL libcrypto, exposed so that tests can check the very calls
// that ship against published numbers. Nothing prints: the calls that can
// fail in more than one way return what failed, the others false or null
// (their caller knows the step: cipher_start, mac, ...). Nothing here
// touches a file other than the random device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <openssl/evp.h>

#include "container/format.h"
#include "memory/secret.h"
#include "state/status.h"

// Files pass through in chunks of this many bytes: a chunk read, encrypted,
// MACed and written stays in the core's cache.
inline constexpr std::size_t crypt_chunk_size = std::size_t(256) << 10;

// The result of one key derivation: the key and the salt that produced it.
// Wiped when it goes out of scope.
struct key_material {
    wiped_array<container_format::key_size> key;
    wiped_array<container_format::salt_size> salt;
};

// Fills `out` with n bytes from `device`: cannot_open_random when the device
// cannot be opened; a read error or a short read is a failure too (never
// fewer random bytes than asked for).
status read_random_bytes(unsigned char *out, std::uint32_t n,
                       const char *device = "/dev/urandom");

// PBKDF2-HMAC-SHA256 of `password` (its bytes, no terminator). Silent.
bool pbkdf2_sha256(const char *password, const unsigned char *salt, std::size_t salt_len,
                   int iterations, unsigned char *out, std::size_t out_len);

// The container's key: PBKDF2-HMAC-SHA256, 200000 iterations, 32 bytes, over
// the 64-byte `salt`, or over a fresh random salt when `salt` is nullptr.
// Fails as key_derivation (after the random device's failure, when it failed).
status derive_key(const char *password, const unsigned char *salt, key_material &out);

struct cipher_ctx_deleter {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter>;

// AES-256-CTR under `key` from the counter block `iv`; `direction` is 1 to
// encrypt, 0 to decrypt (in counter mode both give the same bytes). One
// context carries the counter from one chunk to the next. Null on failure
// (cipher_start).
cipher_ctx_ptr start_ctr(const unsigned char *key, const unsigned char *iv, int direction);

// The next `length` bytes of the stream over in into out (out == in works
// in place). False on failure (cipher_update).
bool ctr_update(EVP_CIPHER_CTX *ctx, const unsigned char *in, std::size_t length,
                unsigned char *out);

// Counter mode keeps nothing back, so the final step adds no bytes. False
// on failure (cipher_final).
bool ctr_final(EVP_CIPHER_CTX *ctx);

struct mac_ctx_deleter {
    void operator()(EVP_MAC_CTX *ctx) const { EVP_MAC_CTX_free(ctx); }
};
using mac_ctx_ptr = std::unique_ptr<EVP_MAC_CTX, mac_ctx_deleter>;

// HMAC-SHA512 under `key`, fed piece by piece with mac_update and ended by
// finish_mac (64 bytes into `mac`): the one MAC path of encryption and
// decryption. Each fails (null, false) as mac.
mac_ctx_ptr start_mac(const unsigned char *key, std::size_t key_len);
bool mac_update(EVP_MAC_CTX *ctx, const unsigned char *data, std::size_t len);
bool finish_mac(EVP_MAC_CTX *ctx, unsigned char *mac);
