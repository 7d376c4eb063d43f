// In-place encryption and decryption of a database file.
//
// Both build the new content in a temporary file beside the target, created
// exclusively with mode 0600, synced, then renamed over the target, so the
// path always holds either the complete old file or the complete new one.
// Encryption passes over the plain file once, a chunk at a time, and holds
// no more than a chunk; decryption holds the whole container (it decrypts
// only bytes it has authenticated) and writes the plain text a chunk at a
// time. A plain file above 2147483499 bytes or a container above 2147483647
// is refused before any work; a file that changes while it is read is
// refused too. Keys and plain text are wiped before their memory is released. Messages go to
// standard error; the caller adds its own after a false result.
#pragma once

// Replaces the plain file at `path` by a container encrypted under `password`.
bool encrypt_file(const char *password, const char *path);

// Authenticates the container at `path` and replaces it by the plain file,
// mode 0600. Nothing is written unless the MAC matched.
bool decrypt_file(const char *password, const char *path);
