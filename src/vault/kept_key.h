// Opening and sealing a container with a key the caller keeps, for
// kesp-agent, which derives the key once at unlock and seals every change
// with it: the container's format and its cryptography stay behind the
// vault. Nothing here prints: what failed is handed back as a value (the
// step, the errno, the file: state/status.h), for the caller to print at
// its edge or give in a sentence of its own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "memory/secret.h"
#include "state/status.h"

// A container's key and the salt it was derived from. Wiped when it goes.
struct kept_key {
    wiped_array<32> key;
    wiped_array<64> salt;
};

enum class open_status {
    ok,
    wrong_password,  // the MAC does not match: a wrong password or damaged data; nothing said
    failed,          // anything else, said in `why`
};

struct opened_container {
    open_status status = open_status::failed;
    std::unique_ptr<wiped_buffer> plain;  // when ok; may hold 0 bytes
    ::status why;  // when not ok
};

// The plain bytes of the container at `path`, authenticated and decrypted
// into wiped memory, with the key `password` gave it in `key`. The file
// stays as it is.
opened_container open_keeping_key(const char *password, const std::string &path, kept_key &key);

// The same under a key already derived: wrong_password when the container
// has another salt or its MAC does not match; no key derivation.
opened_container open_with_kept_key(const kept_key &key, const std::string &path);

// `size` bytes at `plain` sealed under `key` (its salt, a fresh IV) into a
// container that replaces the file at `path` only once it is complete.
status seal_with_kept_key(const kept_key &key, const unsigned char *plain, std::size_t size,
                          const std::string &path);

// A key of `password` over a fresh random salt.
status derive_kept_key(const char *password, kept_key &out);
