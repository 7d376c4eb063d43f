// The current one-time code of an entry, from the otpauth URI in its notes,
// for kesp-otp and kesp-clip --otp.
#pragma once

#include <optional>
#include <string>

#include "otp/otp.h"
#include "store/entry.h"

// The code of `e` now. Nothing, after a message naming `label` on standard
// error, when its notes hold no usable otpauth://totp/ URI.
std::optional<totp_code> current_entry_code(const entry &e, const std::string &label);
