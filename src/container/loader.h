// A whole container read into memory and authenticated: the bytes that are
// authenticated are the bytes that are decrypted, whatever happens to the
// file meanwhile. Failures are returned, never printed.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>

#include "container/container_key.h"
#include "container/crypt_internal.h"
#include "state/status.h"

class derived_keys;  // container/keys.h

// Heap bytes that hold no secret (ciphertext): freed without a wipe.
struct plain_free {
    void operator()(unsigned char *p) const { std::free(p); }
};
using ciphertext_buffer = std::unique_ptr<unsigned char, plain_free>;

// The container's bytes with the key derived from its salt.
struct loaded_container {
    ciphertext_buffer bytes;
    std::size_t plain_size = 0;
    unsigned char trailer[container_format::trailer_size];
    key_material km;
};

// Reads the container at `path` into `c`, deriving its key from `password`
// on another core meanwhile. With `given`, its key is taken instead of a
// derivation (a container of another salt then fails later, in the
// caller's salt check). With `keys`, a key derived already for the
// container's salt is taken from there, and a key derived here is kept
// there.
status load_container(const char *password, const char *path, loaded_container &c,
                    const container_key *given = nullptr, derived_keys *keys = nullptr);

// True when the stored MAC is the MAC of the ciphertext, magic, IV and salt
// under the derived key, compared in constant time; nullopt when it could
// not be computed (mac).
std::optional<bool> authentic(const loaded_container &c);
