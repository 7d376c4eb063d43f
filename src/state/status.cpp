#include "state/status.h"

#include <cerrno>
#include <cstring>

#include "state/failure.h"

namespace {

// One message for `what`, with its newline.
std::string words(fault what, const status &s) {
    const std::string &f = s.file;
    const std::string error = std::strerror(s.code);
    switch (what) {
    case fault::none: return {};
    case fault::cannot_detect: return "Failed to open file.\n";
    case fault::not_a_container: return "File is already decrypted or malformed?\n";
    case fault::already_encrypted: return "File is already encrypted.\n";
    case fault::cannot_open_plain: return "Unable to open " + f + "\n";
    case fault::cannot_open_container: return "Unable to open " + f + " for reading.\n";
    case fault::cannot_examine: return "Unable to examine " + f + ": " + error + "\n";
    case fault::not_regular: return f + " is not a regular file.\n";
    case fault::too_large_to_encrypt:
        return f + " is too large to encrypt: at most 2147483499 bytes fit a container.\n";
    case fault::too_large_container:
        return f + " is too large for a container: at most 2147483647 bytes.\n";
    case fault::would_be_too_large:
        return f + " would be too large: at most 2147483499 bytes fit a container.\n";
    case fault::cannot_read: return "Unable to read " + f + ": " + error + "\n";
    case fault::changed_while_read: return f + " changed while it was read.\n";
    case fault::cannot_open_random: return "Cannot open /dev/urandom\n";
    case fault::cannot_read_random: return "Cannot read " + f + ": " + error + "\n";
    case fault::short_random: return "Short read from " + f + ".\n";
    case fault::key_derivation: return "Key derivation failed.\n";
    case fault::iv_generation: return "Initialization vector generation failed.\n";
    case fault::cipher_start: return "Unable to initialize AES.\n";
    case fault::cipher_update: return "Unable to process data.\n";
    case fault::cipher_final: return "Unable to finalize.\n";
    case fault::mac: return "Unable to compute the MAC.\n";
    case fault::wrong_password: return "Invalid password or tampered data. Aborted.\n";
    case fault::cannot_create: return "Unable to open " + f + " for writing.\n";
    case fault::cannot_write: return "Unable to write " + f + ": " + error + "\n";
    case fault::cannot_sync: return "Unable to sync " + f + ": " + error + "\n";
    case fault::cannot_close: return "Unable to close " + f + ": " + error + "\n";
    case fault::cannot_replace:
        return "Unable to replace " + s.replaced + " by " + f + ": " + error + "\n";
    case fault::cannot_name: return "Unable to create " + f + ": " + error + "\n";
    case fault::name_taken: return {};
    }
    return {};
}

}  // namespace

status failed(fault what, std::string file, int code) {
    status s;
    s.what = what;
    s.code = code;
    s.file = std::move(file);
    return s;
}

status followed_by(status s, fault then) {
    if (!s.ok()) s.then = then;
    return s;
}

std::string message(const status &s) { return words(s.what, s) + words(s.then, s); }

void print_status(const status &s) {
    if (!s.ok()) say_failure(message(s), s.code);
}

bool printed_ok(const status &s) {
    if (s.what == fault::name_taken) errno = EEXIST;
    print_status(s);
    return s.ok();
}

std::string status_line(const status &s, std::string_view otherwise) {
    std::string line = message(s);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    for (char &c : line)
        if (c == '\n') c = ';';
    return line.empty() ? std::string(otherwise) : line;
}
