#include "container/container.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "container/format.h"
#include "state/files.h"
#include "state/failure.h"

namespace fmt = container_format;

bool is_encrypted_file(const char *path) {
    auto magic = container_magic_at(path);
    if (!magic) say_failure("Failed to open file.\n");
    return magic.value_or(false);
}

std::optional<bool> container_magic_at(const char *path) {
    // O_NONBLOCK: a FIFO at the path must not hang the test.
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return std::nullopt;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_size < static_cast<off_t>(fmt::trailer_size)) return false;

    // A container starts with ciphertext; a file that starts with SQLite's
    // header is a plain database whatever its end holds (a page of it can
    // carry the magic at that place: a note, a rolled-back journal).
    unsigned char head[sqlite_header_size];
    ssize_t got = ::pread(fd.get(), head, sizeof head, 0);
    if (got > 0 && starts_with_sqlite_header(head, static_cast<std::size_t>(got))) return false;

    unsigned char found[fmt::magic_size];
    ssize_t n = ::pread(fd.get(), found, sizeof found, st.st_size - fmt::trailer_size);
    return n == static_cast<ssize_t>(sizeof found) &&
           std::memcmp(found, fmt::magic, fmt::magic_size) == 0;
}

bool is_container_bytes(const unsigned char *bytes, std::size_t size) {
    if (size < fmt::trailer_size) return false;
    if (starts_with_sqlite_header(bytes, size)) return false;
    return std::memcmp(bytes + size - fmt::trailer_size, fmt::magic, fmt::magic_size) == 0;
}
