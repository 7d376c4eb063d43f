// Reading the file that encryption or decryption works on: opened without
// hanging on a FIFO, refused when it is no regular file or too large, and
// refused when it changes while it is read. Each prints its message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

#include "state/files.h"

inline constexpr const char *changed_while_read = "%s changed while it was read.\n";
inline constexpr const char *not_a_container = "File is already decrypted or malformed?\n";

// Reads exactly n bytes from fd. A read error prints `read_failure` with
// errno's text; an early end of file prints `short_read` (%s: the name).
bool read_exactly(int fd, unsigned char *buf, std::size_t n, const char *name,
                  const char *read_failure, const char *short_read);

// `path` opened for reading; `open_failure` (%s: the path) when it cannot be.
unique_fd open_input(const char *path, const char *open_failure);

// True when the file open as `fd` is a regular file of at most `limit`
// bytes; `st` keeps what fstat said, to tell later whether the file changed.
bool checked_size(int fd, const char *path, std::int64_t limit, const char *too_large,
                  struct stat &st);

// A writer that shortens the file shows as a short read; one that lengthens
// it or rewrites bytes in place shows in its size or modification time.
bool unchanged_since(int fd, const char *path, const struct stat &before);
