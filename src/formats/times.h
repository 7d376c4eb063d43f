// Time texts of the export formats, converted to and from the local time
// that the entries table stores ("YYYY-MM-DD HH:MM:SS", as SQLite's
// datetime(..., 'localtime') writes it). Local time is the process's time
// zone (TZ). Every function returns nothing for a text it cannot read.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// True for "YYYY-MM-DD HH:MM:SS" with a valid date and time.
bool is_local_time(std::string_view text);

// The local time of `seconds` since the epoch.
std::string local_time(std::time_t seconds);

// ISO 8601: "YYYY-MM-DDTHH:MM:SS", optionally with a fraction of a second,
// then "Z", "+HH:MM", "-HH:MM" or nothing (read as UTC).
std::optional<std::string> local_from_iso8601(std::string_view text);

// Milliseconds since the epoch, as a decimal text (Firefox).
std::optional<std::string> local_from_epoch_ms(std::string_view text);

// Base64 of a little-endian int64 of seconds since 0001-01-01 UTC (KeePass).
std::optional<std::string> local_from_keepass_base64(std::string_view text);

// "YYYY-MM-DDTHH:MM:SSZ" for a local "YYYY-MM-DD HH:MM:SS".
std::optional<std::string> iso8601_from_local(std::string_view local);
