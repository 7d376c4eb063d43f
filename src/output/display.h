// Printing one entry on standard output: as seven coloured text lines framed
// by separator lines, or as a QR code of its five texts.
#pragma once

#include "store/entry.h"

// Prints `e` between two separator lines; the password is shown only when
// show_password == 1, the QR form is used only when show_qrcode == 1.
// Always returns 0. A missing text (a timestamp on an entry built in memory)
// prints as the empty text.
int print_entry(const entry *e, int show_password, int show_qrcode);

// ANSI colour sequence selected by KESP_COLOR (exact upper-case names);
// "\e[0m" when unset or unknown. Never null.
const char *color_code();

// Writes the QR block for the five texts of `e`; a failure prints one line
// on standard error and writes nothing to standard output.
void print_entry_qrcode(const entry *e);
