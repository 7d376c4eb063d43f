// Printing one entry on standard output: as seven coloured text lines framed
// by separator lines, or as a QR code of its five texts.
#pragma once

#include <string_view>

#include "memory/secret.h"
#include "store/entry.h"

// Stored texts may hold control characters (other software wrote them, or
// a hostile export): a terminal would obey them (set the clipboard, move the
// cursor over what was printed). On a terminal, C0 and C1 controls other
// than newline and tab, and DEL, are shown as \xHH (a C1 character in UTF-8
// as \u00HH); a pipe or a file gets the bytes unchanged.

// Appends `text` to `out`, escaped as above when `escape` is true.
void append_visible(secret_string &out, std::string_view text, bool escape);

// The seed of a one-time code is as secret as a password: appends `text` to
// `out` with the value of every `secret` parameter of an otpauth:// URI in
// it (scheme and parameter name in any case) replaced by ten asterisks.
// False, appending nothing, when `text` holds no otpauth URI.
bool mask_otp_secrets(std::string_view text, secret_string &out);

// So is a hidden value (store/entry.h, hidden_value_marker): appends `text`
// to `out` with the rest of every line after the marker replaced by ten
// asterisks. False, appending nothing, when `text` holds no marker.
bool mask_hidden_values(std::string_view text, secret_string &out);

// Writes a stored text to standard output, escaped when it is a terminal.
void print_stored_text(const char *text);

// Prints entries one after another. The text layout of an entry is composed
// in one buffer and written with one call (a listing may print hundreds of
// thousands of lines); the buffer is kept for the next entry, and wiped
// whenever it held a password.
class entry_printer {
public:
    // Prints `e` between two separator lines; the password, and the seeds
    // of one-time codes and the hidden values in the notes, are shown only
    // when show_password == 1 (see mask_otp_secrets and mask_hidden_values);
    // an OpenSSH private key block never (see mask_openssh_keys);
    // the QR form is used only when show_qrcode == 1.
    // A missing text (a timestamp on an entry built in memory) prints as the
    // empty text.
    void print(const entry *e, int show_password, int show_qrcode);

    // Appends to `out` the text layout print() would write for `e` (never
    // the QR form): for output composed now and written later.
    void compose(const entry *e, int show_password, secret_string &out);

    // What the last text block held: nothing once it is written.
    const secret_string &buffer() const { return block_; }

private:
    secret_string block_;
    secret_string head_;  // separator, colour and "ID: ", fixed per listing
    secret_string tail_;  // line end, colour reset and separator
    secret_string masked_notes_;
    secret_string hidden_notes_;
    secret_string key_notes_;
    bool escape_ = false;  // standard output is a terminal
    bool checked_ = false;
};

// One entry through a printer of its own.
void print_entry(const entry *e, int show_password, int show_qrcode);

// ANSI colour sequence selected by KESP_COLOR (exact upper-case names);
// "\e[0m" when unset or unknown. Never null.
const char *color_code();

// Writes the QR block for the five texts of `e`; a failure prints one line
// on standard error and writes nothing to standard output.
void print_entry_qrcode(const entry *e);
