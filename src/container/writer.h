// Writing a container a chunk at a time into a new file that takes its
// target's name only when complete (state/replacement.h). Messages go to
// standard error.
#pragma once

#include <cstddef>
#include <string>

#include "container/container_key.h"
#include "container/crypt_internal.h"
#include "state/replacement.h"

// start() derives a fresh key and IV, add() encrypts a chunk in place, MACs
// it and writes it while it is still in the cache, finish() appends the
// trailer.
class container_writer {
public:
    bool start(const char *password);
    bool start_with(const container_key &key);
    bool add(unsigned char *chunk, std::size_t n, file_replacement &out);
    // `room` holds at least a trailer's bytes.
    bool finish(unsigned char *room, file_replacement &out);

private:
    bool start_cipher();

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
bool write_container(container_writer &writer, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new);

// False after "<path> would be too large: ..." when `size` plain bytes do
// not fit a container.
bool fits_container(std::size_t size, const char *path);
