// Telling an encrypted container from a plain database, for every program
// above the vault (which never reads the container's format itself), and
// the numbers that tools outside the suite, git's hooks and clean filter,
// need to tell them apart the same way.
//
// A file is a container when it is at least as long as the trailer, holds
// the magic where the trailer starts, and does not start with SQLite's
// header: a plain database is never taken for a container, whatever its
// pages hold.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// True when the file at `path` is a container. Prints "Failed to open
// file.\n" when it cannot be opened (then false); anything but a regular
// file is no container.
bool is_encrypted_db(const char *path);

// The same test, silent: nothing when the file cannot be opened.
std::optional<bool> encrypted_db_at(const char *path);

// The same test on a whole file's bytes in memory.
bool is_encrypted_bytes(const unsigned char *bytes, std::size_t size);

// The name of a -wal, -shm or -journal file beside the container at
// `path` (where SQLite would look for it once the container is decrypted),
// empty when there is none. No program of the suite leaves one there: each
// settles a database before encrypting it. So such a file belongs to no
// database of the person's, and SQLite would roll it into the decrypted
// one at the first open, whatever it holds.
std::string container_side_file(const char *path);

// True when no such file lies beside the container at `path`. Otherwise
// false after "<side file> lies beside the encrypted database <path> and
// belongs to no database of kesp's; nothing was decrypted. Remove it, then
// try again.\n" on standard error. Every program calls it before it asks
// for the master password of a container, and again before it decrypts.
bool no_container_side_file(const char *path);

// The container's magic, the size of its trailer (the magic starts that
// many bytes before the end), and the header every plain database starts
// with (its 16 bytes, the last one NUL).
std::string container_magic_text();
std::size_t container_trailer_bytes();
std::string plain_db_header();

// Whether `password` opens the container at `path`: 1 it does, 0 it does
// not (a wrong password and damaged data alike), -1 the file could not be
// read (after a message). Costs one key derivation; nothing is written.
int container_opens(const char *path, const char *password);
