// Copying one secret of an entry: what kesp-clip does, and kesp-otp --clip.
//
// The order keeps the secret out of the clearer: the backend is chosen and
// the slot taken (which ends an earlier clearer, so that it puts back what
// the clipboard held before it), the clipboard is read and written, the
// secret is hashed and wiped, and only then is the clearer forked.
#pragma once

#include <optional>
#include <string>

#include "memory/secret.h"
#include "store/entry.h"

// Seconds before the clipboard is cleared: `option` (-t) when given, else
// KESP_CLIP_TIME, else 45; 0 means never. Nothing, after a message, when
// the one in force is not a whole number of seconds.
std::optional<int> clip_seconds(const char *option);

// "entry 3 (GitHub)", the title escaped when standard error is a terminal.
std::string entry_label(const entry &e);

// Puts `secret` on the clipboard, wipes it, checks that the clipboard holds
// it where it can be read back, arms the clearer and prints "Copied the
// <what> of <label>; clearing in <seconds> s.\n" on standard error
// ("Copied the <what>; ..." for an empty label). An empty secret is refused
// before the clipboard is touched. On failure prints why; a copy whose
// clearer could not be started is taken off the clipboard again.
bool copy_secret(secret_string &secret, const char *what, const std::string &label, int seconds);
