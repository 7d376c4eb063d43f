#include "otp/otp.h"

#include <liboath/oath.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <strings.h>

#include "state/numbers.h"

namespace {

constexpr std::string_view uri_start = "otpauth://totp/";

bool ends_uri(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' ||
           c == '"' || c == '\'' || c == '<' || c == '>';
}

// Position of the first otpauth://totp/ in `text`, in any case (URI schemes
// are case-insensitive, and people paste what a setup page shows).
std::size_t find_uri(std::string_view text) {
    for (std::size_t at = 0; at + uri_start.size() <= text.size(); ++at)
        if (strncasecmp(text.data() + at, uri_start.data(), uri_start.size()) == 0) return at;
    return std::string_view::npos;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes %XX escapes into `out` (a secret_string or std::string).
template <typename Text>
bool percent_decode(std::string_view in, Text &out) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int high = hex_value(in[i + 1]), low = hex_value(in[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool same_name(std::string_view a, const char *b) {
    return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// liboath hands out the decoded key in malloc'ed memory.
struct oath_key_releaser {
    std::size_t size;
    void operator()(char *key) const {
        wipe(key, size);
        std::free(key);
    }
};

std::unique_ptr<wiped_buffer> decode_secret(const secret_string &base32) {
    char *raw = nullptr;
    std::size_t size = 0;
    int rc = oath_base32_decode(base32.c_str(), base32.size(), &raw, &size);
    std::unique_ptr<char, oath_key_releaser> key(raw, oath_key_releaser{size});
    if (rc != OATH_OK || size == 0) return nullptr;
    auto secret = std::make_unique<wiped_buffer>(size);
    std::memcpy(secret->data(), key.get(), size);
    return secret;
}

bool oath_ready() {
    static const bool ready = oath_init() == OATH_OK;
    return ready;
}

}  // namespace

namespace {

// The query of the first otpauth://totp/ URI in `text` (empty when it has
// none); nothing when there is no such URI.
std::optional<std::string_view> totp_query(std::string_view text) {
    std::size_t start = find_uri(text);
    if (start == std::string_view::npos) return std::nullopt;
    std::size_t end = start;
    while (end < text.size() && !ends_uri(text[end])) ++end;
    std::string_view uri = text.substr(start, end - start);
    uri = uri.substr(0, uri.find('#'));
    std::size_t query = uri.find('?');
    return query == std::string_view::npos ? std::string_view() : uri.substr(query + 1);
}

// Each reader takes a decoded value into `params`, or says what is wrong.
using parameter_reader = bool (*)(const std::string &value, totp_params &params, std::string &why);

bool read_digits(const std::string &value, totp_params &params, std::string &why) {
    auto digits = parse_whole_number(value, 6, 8);
    if (!digits) why = "its otpauth URI has digits=" + value + "; 6, 7 or 8 are allowed";
    params.digits = digits.value_or(params.digits);
    return digits.has_value();
}

bool read_period(const std::string &value, totp_params &params, std::string &why) {
    auto period = parse_whole_number(value, 1, 86400);
    if (!period) why = "its otpauth URI has period=" + value + "; 1 to 86400 seconds are allowed";
    params.period = period.value_or(params.period);
    return period.has_value();
}

bool read_algorithm(const std::string &value, totp_params &params, std::string &why) {
    static const struct {
        const char *name;
        otp_algorithm algorithm;
    } algorithms[] = {{"SHA1", otp_algorithm::sha1},
                      {"SHA256", otp_algorithm::sha256},
                      {"SHA512", otp_algorithm::sha512}};
    for (const auto &a : algorithms) {
        if (!same_name(value, a.name)) continue;
        params.algorithm = a.algorithm;
        return true;
    }
    why = "its otpauth URI has algorithm=" + value + "; SHA1, SHA256 or SHA512 are allowed";
    return false;
}

// Steam's codes are letters made from the same HMAC; a six-digit code from
// such a secret would be wrong, so it is refused.
bool read_encoder(const std::string &value, totp_params &, std::string &why) {
    if (same_name(value, "steam"))
        why = "its otpauth URI asks for Steam Guard codes (encoder=steam), which this program "
              "cannot make";
    else
        why = "its otpauth URI has encoder=" + value + ", which this program does not know";
    return false;
}

// The parameters that change the code; others (issuer, image and the like)
// are ignored. The secret is read apart, into wiped memory.
struct parameter {
    const char *name;
    parameter_reader read;  // nullptr for the secret
};
constexpr parameter parameters[] = {
    {"secret", nullptr},          {"digits", read_digits},   {"period", read_period},
    {"algorithm", read_algorithm}, {"encoder", read_encoder},
};

}  // namespace

std::optional<totp_params> parse_totp_uri(std::string_view text, std::string &why) {
    auto query = totp_query(text);
    if (!query) {
        why = "no otpauth://totp/ URI in its notes";
        return std::nullopt;
    }
    std::string_view rest = *query;
    totp_params params;
    secret_string secret;
    bool seen[std::size(parameters)] = {};
    while (!rest.empty()) {
        std::string_view pair = rest.substr(0, rest.find('&'));
        rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
        std::string_view name = pair.substr(0, pair.find('='));
        std::string_view raw_value =
            name.size() < pair.size() ? pair.substr(name.size() + 1) : std::string_view();
        std::size_t which = 0;
        while (which < std::size(parameters) && !same_name(name, parameters[which].name)) ++which;
        if (which == std::size(parameters)) continue;
        const parameter &p = parameters[which];
        if (seen[which]) {
            why = std::string("its otpauth URI gives ") + p.name + " twice";
            return std::nullopt;
        }
        seen[which] = true;
        std::string value;
        bool decoded = p.read == nullptr ? percent_decode(raw_value, secret)
                                         : percent_decode(raw_value, value);
        if (!decoded) {
            why = std::string("its otpauth URI has a broken %-escape in ") + p.name;
            return std::nullopt;
        }
        if (p.read != nullptr && !p.read(value, params, why)) return std::nullopt;
    }
    if (secret.empty()) {
        why = "its otpauth URI has no secret";
        return std::nullopt;
    }
    if (!oath_ready()) {
        why = "liboath could not be initialised";
        return std::nullopt;
    }
    params.secret = decode_secret(secret);
    if (!params.secret) {
        why = "the secret of its otpauth URI is not base32";
        return std::nullopt;
    }
    return params;
}

std::optional<totp_code> totp_at(const totp_params &params, std::time_t now, std::string &why) {
    if (!oath_ready()) {
        why = "liboath could not be initialised";
        return std::nullopt;
    }
    int flags = params.algorithm == otp_algorithm::sha256   ? OATH_TOTP_HMAC_SHA256
                : params.algorithm == otp_algorithm::sha512 ? OATH_TOTP_HMAC_SHA512
                                                            : 0;
    wiped_array<16, char> code;
    int rc = oath_totp_generate2(reinterpret_cast<const char *>(params.secret->data()),
                                 params.secret->size(), now, static_cast<unsigned>(params.period),
                                 0, static_cast<unsigned>(params.digits), flags, code.data);
    if (rc != OATH_OK) {
        why = oath_strerror(rc);
        return std::nullopt;
    }
    totp_code result;
    result.digits.assign(code.data);
    result.valid_for = params.period - static_cast<int>(now % params.period);
    return result;
}
