#include "output/display.h"
#include "output/ssh_key.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <strings.h>
#include <unistd.h>

#include <qrcodegen.h>

namespace {

constexpr const char *separator =
    "=====================================================================\n";
constexpr const char *color_reset = "\033[0m";

constexpr const char *qr_colors = "\033[30m\033[107m";
// Full blocks: a lower block leaves a strip of background above every
// row, and a reader then sees stripes where the symbol should be.
constexpr const char *qr_dark = "\u2588\u2588";
constexpr const char *qr_light = "  ";
constexpr int qr_quiet_zone = 4;

struct named_color {
    const char *name;
    const char *sequence;
};

constexpr named_color color_table[] = {
    {"BLUE", "\033[34m"},    {"RED", "\033[31m"},  {"GREEN", "\033[32m"},
    {"YELLOW", "\033[33m"},  {"MAGENTA", "\033[35m"}, {"CYAN", "\033[36m"},
    {"WHITE", "\033[37m"},
};

// The symbol buffers describe the password too; wiped on the way out.
struct qr_buffers {
    wiped_array<qrcodegen_BUFFER_LEN_MAX, std::uint8_t> temp;
    wiped_array<qrcodegen_BUFFER_LEN_MAX, std::uint8_t> symbol;
};

}  // namespace

void append_visible(secret_string &out, std::string_view text, bool escape) {
    if (!escape) {
        out += text;
        return;
    }
    static const char hex[] = "0123456789abcdef";
    auto escaped = [&out](const char *prefix, unsigned char c) {
        out += prefix;
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    std::size_t plain = 0;  // start of the run not yet copied
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        bool c0 = (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f;
        bool utf8_c1 = c == 0xc2 && i + 1 < text.size() &&
                       static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                       static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        // A lone byte 0x80-0x9f (not inside a UTF-8 sequence) is an 8-bit C1
        // control to some terminals.
        bool raw_c1 = c >= 0x80 && c <= 0x9f &&
                      (i == 0 || static_cast<unsigned char>(text[i - 1]) < 0xc0);
        if (raw_c1 && i > 0 && static_cast<unsigned char>(text[i - 1]) >= 0x80) {
            // Inside a sequence of continuation bytes: find its lead byte.
            std::size_t lead = i;
            while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xc0) == 0x80) --lead;
            raw_c1 = lead == 0 || static_cast<unsigned char>(text[lead - 1]) < 0xc0 || i - lead >= 3;
        }
        if (!c0 && !utf8_c1 && !raw_c1) continue;
        out += text.substr(plain, i - plain);
        if (utf8_c1) {
            escaped("\\u00", static_cast<unsigned char>(text[++i]));
        } else {
            escaped("\\x", c);
        }
        plain = i + 1;
    }
    out += text.substr(plain);
}

namespace {

constexpr std::string_view otpauth_scheme = "otpauth://";
constexpr std::string_view masked_value = "**********";

bool same_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Where a URI in running text ends: white space, a quote or an angle
// bracket (the same rule the one-time code reader applies).
bool ends_uri(char c) {
    return std::strchr(" \t\n\r\f\v\"'<>", c) != nullptr && c != '\0';
}

// The scheme holds one colon: the note is scanned for colons (memchr, one
// pass), and only the letters around one are compared. Colons come in the
// order of the URIs they belong to, so the first match is the first URI.
std::size_t find_otpauth(std::string_view text, std::size_t from) {
    constexpr std::size_t colon = otpauth_scheme.find(':');
    constexpr std::size_t after = otpauth_scheme.size() - colon;  // ":" and the slashes
    std::size_t at = from + colon;
    while (at + after <= text.size()) {
        const void *found = std::memchr(text.data() + at, ':', text.size() - after + 1 - at);
        if (found == nullptr) break;
        at = static_cast<std::size_t>(static_cast<const char *>(found) - text.data());
        if (text.compare(at, after, otpauth_scheme.substr(colon)) == 0 &&
            same_ascii_case(text.substr(at - colon, colon), otpauth_scheme.substr(0, colon)))
            return at - colon;
        ++at;
    }
    return std::string_view::npos;
}

// Appends the otpauth URI `uri` with the value of its secret parameters
// masked.
void append_masked_uri(secret_string &out, std::string_view uri) {
    std::size_t query = uri.find('?');
    if (query == std::string_view::npos) {
        out += uri;
        return;
    }
    std::size_t query_end = std::min(uri.find('#', query), uri.size());
    out += uri.substr(0, query + 1);
    for (std::size_t at = query + 1; at < query_end;) {
        std::size_t end = std::min(uri.find('&', at), query_end);
        std::string_view pair = uri.substr(at, end - at);
        std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && same_ascii_case(pair.substr(0, equals), "secret")) {
            out += pair.substr(0, equals + 1);
            out += masked_value;
        } else {
            out += pair;
        }
        if (end < query_end) out += '&';
        at = end + 1;
    }
    out += uri.substr(query_end);
}

}  // namespace

bool mask_otp_secrets(std::string_view text, secret_string &out) {
    std::size_t start = find_otpauth(text, 0);
    if (start == std::string_view::npos) return false;
    std::size_t done = 0;
    while (start != std::string_view::npos) {
        std::size_t end = start;
        while (end < text.size() && !ends_uri(text[end])) ++end;
        out += text.substr(done, start - done);
        append_masked_uri(out, text.substr(start, end - start));
        done = end;
        start = find_otpauth(text, end);
    }
    out += text.substr(done);
    return true;
}

bool mask_hidden_values(std::string_view text, secret_string &out) {
    std::size_t at = text.find(hidden_value_marker);
    if (at == std::string_view::npos) return false;
    std::size_t done = 0;
    while (at != std::string_view::npos) {
        const std::size_t value = at + hidden_value_marker.size();
        const std::size_t end = std::min(text.find('\n', value), text.size());
        out += text.substr(done, value - done);
        out += masked_value;
        done = end;
        at = text.find(hidden_value_marker, end);
    }
    out += text.substr(done);
    return true;
}

void print_stored_text(const char *text) {
    secret_string shown;
    append_visible(shown, text_or_empty(text), ::isatty(STDOUT_FILENO) == 1);
    std::fwrite(shown.c_str(), 1, shown.size(), stdout);
}

const char *color_code() {
    const char *value = std::getenv("KESP_COLOR");
    if (value == nullptr) return color_reset;
    for (const named_color &color : color_table)
        if (std::strcmp(value, color.name) == 0) return color.sequence;
    return color_reset;
}

void print_entry_qrcode(const entry *e) {
    const char *title = text_or_empty(e->title);
    const char *user = text_or_empty(e->user);
    const char *url = text_or_empty(e->url);
    const char *password = text_or_empty(e->password);
    const char *notes = text_or_empty(e->notes);

    // Each text followed by a line feed; it holds the password in clear.
    secret_string text;
    text.reserve(std::strlen(title) + std::strlen(user) + std::strlen(url) +
                 std::strlen(password) + std::strlen(notes) + 5);
    for (const char *part : {title, user, url, password, notes}) {
        text += part;
        text += '\n';
    }

    qr_buffers buffers;
    if (!qrcodegen_encodeText(text.c_str(), buffers.temp.data, buffers.symbol.data, qrcodegen_Ecc_LOW,
                              qrcodegen_VERSION_MIN, qrcodegen_VERSION_MAX, qrcodegen_Mask_AUTO,
                              true)) {
        std::fputs("Unable to generate QR code.\n", stderr);
        return;
    }

    std::fputs(qr_colors, stdout);
    int size_in_modules = qrcodegen_getSize(buffers.symbol.data);
    std::fputs("\n", stdout);
    // getModule reads coordinates outside the symbol as light: that is the
    // quiet zone readers need to find it.
    for (int y = -qr_quiet_zone; y < size_in_modules + qr_quiet_zone; ++y) {
        for (int x = -qr_quiet_zone; x < size_in_modules + qr_quiet_zone; ++x)
            std::fputs(qrcodegen_getModule(buffers.symbol.data, x, y) ? qr_dark : qr_light, stdout);
        std::fputs("\n", stdout);
    }
    std::fputs(color_reset, stdout);
    std::fputs("\n", stdout);
}

void entry_printer::print(const entry *e, int show_password, int show_qrcode) {
    if (show_qrcode == 1) {
        std::fputs(separator, stdout);
        print_entry_qrcode(e);
        std::fputs(separator, stdout);
        return;
    }
    compose(e, show_password, block_);
    std::fwrite(block_.c_str(), 1, block_.size(), stdout);
    // A block that held a password is wiped at once; any other is written
    // over by the next entry and wiped with the rest when the printer goes.
    if (show_password == 1) block_.clear();
    else block_.rewind();
}

void entry_printer::compose(const entry *e, int show_password, secret_string &out) {
    if (!checked_) {
        escape_ = ::isatty(STDOUT_FILENO) == 1;
        // One look at the environment per listing, not one per entry.
        head_.assign(separator);
        head_ += color_code();
        head_ += "ID: ";
        tail_.assign("\n");
        tail_ += color_reset;
        tail_ += separator;
        checked_ = true;
    }
    // The id and the label after it in one piece: fewer appends per entry.
    constexpr std::string_view title_label = "\nTitle: ";
    char id[16 + title_label.size()];
    char *id_end = std::to_chars(id, id + 16, e->id).ptr;
    id_end = std::copy(title_label.begin(), title_label.end(), id_end);
    // One-time-code seeds and hidden values in the notes are as secret as
    // the password.
    std::string_view notes = text_or_empty(e->notes);
    masked_notes_.clear();
    hidden_notes_.clear();
    key_notes_.clear();
    // A private key block is never for a screen, not even with the
    // passwords: it shows as its type and fingerprint.
    if (mask_openssh_keys(notes, key_notes_)) notes = key_notes_.view();
    if (show_password != 1) {
        if (mask_otp_secrets(notes, masked_notes_)) notes = masked_notes_.view();
        if (mask_hidden_values(notes, hidden_notes_)) notes = hidden_notes_.view();
    }
    // The stored texts, which may need escaping, stand at the even places
    // after the head.
    const std::string_view parts[] = {
        head_, {id, static_cast<std::size_t>(id_end - id)},
        text_or_empty(e->title), "\nUser: ",
        text_or_empty(e->user), "\nUrl: ",
        text_or_empty(e->url), "\nPassword: ",
        show_password == 1 ? text_or_empty(e->password) : "**********", "\nNotes: ",
        notes, "\nModified: ",
        text_or_empty(e->timestamp), tail_};
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    // Room for the whole block at once; a text that already holds blocks
    // grows geometrically instead.
    if (out.empty()) out.reserve(size);
    if (!escape_) {
        for (std::string_view part : parts) out += part;
        return;
    }
    for (std::size_t i = 0; i < std::size(parts); ++i)
        append_visible(out, parts[i], escape_ && i % 2 == 0 && i > 0);
}

void print_entry(const entry *e, int show_password, int show_qrcode) {
    entry_printer printer;
    printer.print(e, show_password, show_qrcode);
}
