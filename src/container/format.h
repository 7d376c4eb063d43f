// Byte layout and cryptographic parameters of the encrypted container.
//
// A container is the AES-256-CTR ciphertext of the whole plain file (same
// length, possibly 0) followed by a fixed 148-byte trailer. There is no
// header, version or length field: the ciphertext length is always the file
// size minus the trailer.
//
//   offset    length  field
//   0         N       ciphertext
//   N         4       magic "FuI3" (0x46 0x75 0x49 0x33)
//   N + 4     16      IV, the first 128-bit counter block
//   N + 20    64      salt of the key derivation
//   N + 84    64      HMAC-SHA512 over bytes [0, N + 84)
//
// Key: PBKDF2-HMAC-SHA256(password bytes, salt, 200000 iterations), 32 bytes,
// used both as the AES-256 key and as the HMAC key. Stored files depend on
// every number here: none of them may change.
#pragma once

#include <cstddef>
#include <cstdint>

namespace container_format {

inline constexpr unsigned char magic[4] = {0x46, 0x75, 0x49, 0x33};  // "FuI3"

inline constexpr std::size_t magic_size = sizeof magic;
inline constexpr std::size_t iv_size = 16;
inline constexpr std::size_t salt_size = 64;
inline constexpr std::size_t mac_size = 64;
inline constexpr std::size_t trailer_size = 148;

// Offsets inside the trailer, which starts right after the ciphertext.
inline constexpr std::size_t magic_offset = 0;
inline constexpr std::size_t iv_offset = magic_offset + magic_size;
inline constexpr std::size_t salt_offset = iv_offset + iv_size;
inline constexpr std::size_t mac_offset = salt_offset + salt_size;

// The MAC covers everything in front of it: ciphertext, magic, IV and salt.
inline constexpr std::size_t mac_covered_trailer = mac_offset;

inline constexpr int pbkdf2_iterations = 200000;
inline constexpr std::size_t key_size = 32;  // AES-256 key and HMAC key

// Sizes in the format are signed 32-bit quantities.
inline constexpr std::int64_t max_container_size = 2147483647;
inline constexpr std::int64_t max_plain_size = max_container_size - trailer_size;

static_assert(magic_size + iv_size + salt_size + mac_size == trailer_size);
static_assert(mac_offset + mac_size == trailer_size);
static_assert(magic_size == 4 && iv_size == 16 && salt_size == 64 && mac_size == 64);
static_assert(iv_offset == 4 && salt_offset == 20 && mac_offset == 84);
static_assert(max_plain_size == 2147483499);

}  // namespace container_format
