#include "formats/times.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <openssl/evp.h>

namespace {

// Seconds from 0001-01-01 to 1970-01-01, both UTC (proleptic Gregorian).
constexpr std::int64_t keepass_epoch_offset = 62135596800;

bool digits(std::string_view text, std::size_t at, std::size_t count, int &value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : days[month - 1];
}

// "YYYY-MM-DD?HH:MM:SS" where ? is `separator` (or either of 'T' and ' '
// for 0); the rest of the text is left to the caller.
bool read_date_time(std::string_view text, char separator, std::tm &tm) {
    int year, month, day, hour, minute, second;
    if (text.size() < 19 || !digits(text, 0, 4, year) || text[4] != '-' ||
        !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day) ||
        !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) ||
        text[16] != ':' || !digits(text, 17, 2, second))
        return false;
    if (separator != 0 ? text[10] != separator : text[10] != 'T' && text[10] != ' ') return false;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        hour > 23 || minute > 59 || second > 59)
        return false;
    tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return true;
}

}  // namespace

bool is_local_time(std::string_view text) {
    std::tm tm;
    return text.size() == 19 && read_date_time(text, ' ', tm);
}

std::string local_time(std::time_t seconds) {
    std::tm tm{};
    char text[64];
    if (localtime_r(&seconds, &tm) == nullptr) return "";
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::optional<std::string> local_from_iso8601(std::string_view text) {
    std::tm tm;
    if (!read_date_time(text, 0, tm)) return std::nullopt;
    std::string_view rest = text.substr(19);
    if (!rest.empty() && (rest[0] == '.' || rest[0] == ',')) {
        std::size_t n = 1;
        while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
        if (n == 1) return std::nullopt;
        rest.remove_prefix(n);  // below a second: the stored time has none
    }
    long offset = 0;
    if (rest == "Z" || rest == "z") {
        rest = {};
    } else if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        int hours, minutes;
        if (rest.size() == 6 && rest[3] == ':' && digits(rest, 1, 2, hours) &&
            digits(rest, 4, 2, minutes) && hours < 24 && minutes < 60) {
        } else if (rest.size() == 5 && digits(rest, 1, 2, hours) && digits(rest, 3, 2, minutes) &&
                   hours < 24 && minutes < 60) {
        } else {
            return std::nullopt;
        }
        offset = (rest[0] == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
        rest = {};
    }
    if (!rest.empty()) return std::nullopt;
    return local_time(timegm(&tm) - offset);
}

std::optional<std::string> local_from_epoch_ms(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t ms = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        ms = ms * 10 + (c - '0');
    }
    return local_time(static_cast<std::time_t>(ms / 1000));
}

std::optional<std::string> local_from_keepass_base64(std::string_view text) {
    // Eight bytes are twelve base64 characters, the last one padding.
    if (text.size() != 12 || text[11] != '=') return std::nullopt;
    unsigned char bytes[12];
    if (EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char *>(text.data()), 12) != 9)
        return std::nullopt;
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
    auto seconds = static_cast<std::int64_t>(value);
    // Years 1 to 9999, as KeePass writes them.
    if (seconds < 0 || seconds > 315537897599) return std::nullopt;
    return local_time(static_cast<std::time_t>(seconds - keepass_epoch_offset));
}

std::optional<std::string> iso8601_from_local(std::string_view local) {
    std::tm tm;
    if (local.size() != 19 || !read_date_time(local, ' ', tm)) return std::nullopt;
    tm.tm_isdst = -1;
    std::time_t seconds = std::mktime(&tm);
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return std::nullopt;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return std::string(text);
}
