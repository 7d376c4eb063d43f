// Detection of the encrypted container (layout in container/format.h).
//
// A file is a container exactly when it is at least 148 bytes long, the 4
// bytes 148 bytes before its end are "FuI3", and it does not start with
// SQLite's 16-byte header "SQLite format 3\0" (a container starts with
// ciphertext, while any page of a plain database may hold those 4 bytes at
// that place). Nothing else is examined: a damaged container still passes
// and is rejected later by its MAC.
#pragma once

#include <cstddef>
#include <optional>

// True when the file at `path` is a container by the test above. Prints
// "Failed to open file.\n" when the file cannot be opened (then false);
// anything but a regular file is no container. Changes nothing on disk.
bool is_encrypted_file(const char *path);

// The same test, silent: nothing when the file cannot be opened.
std::optional<bool> container_magic_at(const char *path);

// The same test on a whole file's bytes in memory.
bool is_container_bytes(const unsigned char *bytes, std::size_t size);
