// Reading the file that encryption or decryption works on: opened without
// hanging on a FIFO, refused when it is no regular file or too large, and
// refused when it changes while it is read. Each returns what failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

#include "state/files.h"
#include "state/status.h"

// Reads exactly n bytes from fd. A read error is `read_failure` with its
// errno; an early end of file is `short_read`; both name `name`.
status read_exactly(int fd, unsigned char *buf, std::size_t n, const char *name,
                    fault read_failure, fault short_read);

// `path` opened for reading into `in`; `open_failure` when it cannot be.
status open_input(const char *path, fault open_failure, unique_fd &in);

// Ok when the file open as `fd` is a regular file of at most `limit` bytes
// (else `too_large`); `st` keeps what fstat said, to tell later whether the
// file changed.
status checked_size(int fd, const char *path, std::int64_t limit, fault too_large,
                    struct stat &st);

// A writer that shortens the file shows as a short read; one that lengthens
// it or rewrites bytes in place shows in its size or modification time.
status unchanged_since(int fd, const char *path, const struct stat &before);
