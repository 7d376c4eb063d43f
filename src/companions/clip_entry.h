// What kesp-clip and kesp-otp --clip both do: put a secret of one entry on
// the clipboard for a while.
#pragma once

// Copies the password of entry `id` (the current one-time code of its
// otpauth URI when `otp`) and arms the clearer for `seconds` (0: never).
// Returns the program's exit status; a failure has been reported.
int copy_entry_secret(int id, bool otp, int seconds);
