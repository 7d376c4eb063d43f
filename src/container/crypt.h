// Encryption and decryption of a database file, in place or through memory.
//
// New files are built beside their target (state/replacement.h), mode 0600,
// synced, and only then take its name, so the path always holds either the
// complete old file or the complete new one. Encryption passes over its
// input once, a chunk at a time; decryption holds the whole container (it
// decrypts only bytes it has authenticated) and writes the plain text a
// chunk at a time. A plain file above 2147483499 bytes or a container above
// 2147483647 is refused before any work; a file that changes while it is
// read is refused too. Keys and plain text are wiped before their memory is
// released. Nothing here prints: each call returns what failed (state/
// status.h), for the program to print in kesp's words or to give in a
// sentence of its own.
#pragma once

#include <cstddef>
#include <memory>

#include "container/container_key.h"
#include "container/format.h"
#include "memory/secret.h"
#include "state/status.h"

// Replaces the plain file at `path` by a container encrypted under `password`.
status encrypt_file(const char *password, const char *path);

// Authenticates the container at `path` and replaces it by the plain file,
// mode 0600. Nothing is written unless the MAC matched (else wrong_password).
status decrypt_file(const char *password, const char *path);

// The plain bytes of the container at `path`, authenticated and decrypted
// into wiped memory; the file stays as it is. `wrong_password` when the MAC
// does not match, which a wrong password and damaged data alike cause (the
// caller says so in its own words); `failed` otherwise, `why` telling what
// (a file that is no container: not_a_container).
enum class decrypt_status { ok, wrong_password, failed };
struct decrypted {
    decrypt_status status = decrypt_status::failed;
    std::unique_ptr<wiped_buffer> plain;  // when ok; may hold 0 bytes
    ::status why;                         // what failed, when not ok
};
decrypted decrypt_to_memory(const char *password, const char *path);

// A container of `size` bytes at `plain`, encrypted under `password`, that
// replaces the file at `path` (as encrypt_file does, following a final
// symbolic link), or with `create_new` becomes the new file `path`, which
// must not exist (name_taken when it does).
status encrypt_to_file(const char *password, const unsigned char *plain, std::size_t size,
                       const char *path, bool create_new);

class derived_keys;  // container/keys.h

// decrypt_to_memory with the key for the container's salt taken from
// `keys` when derived there already; a key derived here is kept there.
decrypted decrypt_to_memory(const char *password, const char *path, derived_keys &keys);

// encrypt_to_file under a fresh key of `password` taken from `keys` when one
// was derived there ahead (each is used once), derived here otherwise.
status encrypt_to_file(const char *password, const unsigned char *plain, std::size_t size,
                       const char *path, bool create_new, derived_keys &keys);

// A program holding a decrypted copy seals it again and again under one
// container_key, without a key derivation per seal.

// The key `password` gives over `salt` (a fresh random salt when nullptr).
status derive_container_key(const char *password, const unsigned char *salt,
                            container_key &out);

// decrypt_to_memory that also hands out the key that opened the container.
decrypted decrypt_to_memory_keeping_key(const char *password, const char *path,
                                        container_key &key);

// decrypt_to_memory under a key already derived: `wrong_password` when the
// container has another salt or its MAC does not match; no derivation.
decrypted decrypt_to_memory_with_key(const container_key &key, const char *path);

// encrypt_to_file under a key already derived: the salt stays, the IV is
// fresh for every seal (counter mode under one key must never meet the
// same counter twice).
status seal_with_key(const container_key &key, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new = false);
