// Printing one entry on standard output: as seven coloured text lines framed
// by separator lines, or as a QR code of its five texts.
#pragma once

#include "memory/secret.h"
#include "store/entry.h"

// Prints entries one after another. The text layout of an entry is composed
// in one buffer and written with one call (a listing may print hundreds of
// thousands of lines); the buffer is kept for the next entry, and wiped
// whenever it held a password.
class entry_printer {
public:
    // Prints `e` between two separator lines; the password is shown only
    // when show_password == 1, the QR form is used only when show_qrcode == 1.
    // A missing text (a timestamp on an entry built in memory) prints as the
    // empty text.
    void print(const entry *e, int show_password, int show_qrcode);

    // What the last text block held (empty after a block with a password).
    const secret_string &buffer() const { return block_; }

private:
    secret_string block_;
};

// One entry through a printer of its own.
void print_entry(const entry *e, int show_password, int show_qrcode);

// ANSI colour sequence selected by KESP_COLOR (exact upper-case names);
// "\e[0m" when unset or unknown. Never null.
const char *color_code();

// Writes the QR block for the five texts of `e`; a failure prints one line
// on standard error and writes nothing to standard output.
void print_entry_qrcode(const entry *e);
