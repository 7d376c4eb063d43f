// A failure as a value: the step that failed, the errno it met, the file it
// worked on. The code that failed returns it and prints nothing; the
// program prints it at its edge (print_status), in the very words kesp
// has always printed for it, or gives it in a sentence of its own
// (status_line: kesp-agent's reply to the program that asked).
#pragma once

#include <string>
#include <string_view>

enum class fault : unsigned char {
    none,
    // Finding and reading the file worked on (FILE: `file`, ERROR: strerror(code)).
    cannot_detect,          // "Failed to open file."
    not_a_container,        // "File is already decrypted or malformed?"
    already_encrypted,      // "File is already encrypted."
    cannot_open_plain,      // "Unable to open FILE"
    cannot_open_container,  // "Unable to open FILE for reading."
    cannot_examine,         // "Unable to examine FILE: ERROR"
    not_regular,            // "FILE is not a regular file."
    too_large_to_encrypt,   // "FILE is too large to encrypt: at most 2147483499 bytes fit a container."
    too_large_container,    // "FILE is too large for a container: at most 2147483647 bytes."
    would_be_too_large,     // "FILE would be too large: at most 2147483499 bytes fit a container."
    cannot_read,            // "Unable to read FILE: ERROR"
    changed_while_read,     // "FILE changed while it was read."
    // Randomness and cryptography.
    cannot_open_random,     // "Cannot open /dev/urandom"
    cannot_read_random,     // "Cannot read FILE: ERROR"
    short_random,           // "Short read from FILE."
    key_derivation,         // "Key derivation failed."
    iv_generation,          // "Initialization vector generation failed."
    cipher_start,           // "Unable to initialize AES."
    cipher_update,          // "Unable to process data."
    cipher_final,           // "Unable to finalize."
    mac,                    // "Unable to compute the MAC."
    wrong_password,         // "Invalid password or tampered data. Aborted."
    // Writing the new file that replaces `replaced` (FILE: the new file's name in messages).
    cannot_create,          // "Unable to open FILE for writing."
    cannot_write,           // "Unable to write FILE: ERROR"
    cannot_sync,            // "Unable to sync FILE: ERROR"
    cannot_close,           // "Unable to close FILE: ERROR"
    cannot_replace,         // "Unable to replace REPLACED by FILE: ERROR"
    cannot_name,            // "Unable to create FILE: ERROR"
    name_taken,             // nothing: the new name was taken (EEXIST); the caller says it its way
};

struct [[nodiscard]] status {
    fault what = fault::none;
    int code = 0;              // errno of the failed call, when one failed
    std::string file;          // the file the failed step worked on
    std::string replaced;      // the file a new one was to replace (cannot_replace)
    fault then = fault::none;  // the step it broke, said after it (same file)

    bool ok() const { return what == fault::none; }
    explicit operator bool() const { return ok(); }
};

inline status status_ok() { return {}; }
status failed(fault what, std::string file = {}, int code = 0);
// `s` with `then` said after it; an ok status stays ok.
status followed_by(status s, fault then);

// The words kesp prints for `s`, each message ending in a newline; empty
// for ok and for name_taken.
std::string message(const status &s);

// Prints message(s) on standard error (through say_failure, state/failure.h).
void print_status(const status &s);

// For callers that report as they always did: prints `s` and returns
// s.ok(); after name_taken, errno is EEXIST for the caller's own words.
bool printed_ok(const status &s);

// message(s) on one line: trailing newlines dropped, those in between turned
// into ';'. `otherwise` when it says nothing.
std::string status_line(const status &s, std::string_view otherwise);
