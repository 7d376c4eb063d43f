// Writing a container a chunk at a time into a new file that takes its
// target's name only when complete (state/replacement.h). Each step returns
// what failed.
#pragma once

#include <cstddef>
#include <string>

#include "container/container_key.h"
#include "container/crypt_internal.h"
#include "state/replacement.h"
#include "state/status.h"

// start() derives a fresh key and IV, add() encrypts a chunk in place, MACs
// it and writes it while it is still in the cache, finish() appends the
// trailer.
class container_writer {
public:
    status start(const char *password);
    status start_with(const container_key &key);
    status add(unsigned char *chunk, std::size_t n, file_replacement &out);
    // `room` holds at least a trailer's bytes.
    status finish(unsigned char *room, file_replacement &out);

private:
    status start_cipher();

    key_material km_;
    unsigned char iv_[container_format::iv_size];
    cipher_ctx_ptr cipher_;
    mac_ctx_ptr mac_;
};

// Messages name the new file target + suffix. A stale file of that name
// would keep a copy of the database beside the target, so it goes.
std::string shown_name(const std::string &target, const char *suffix);

// The `size` bytes at `plain` through `writer` into the file that replaces
// `path` (following a final symbolic link), or with `create_new` into the
// new file `path`.
status write_container(container_writer &writer, const unsigned char *plain, std::size_t size,
                       const char *path, bool create_new);

// would_be_too_large when `size` plain bytes do not fit a container.
status fits_container(std::size_t size, const char *path);
