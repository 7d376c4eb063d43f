#include "output/display.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <openssl/crypto.h>
#include <qrcodegen.h>

namespace {

constexpr const char *separator =
    "=====================================================================\n";
constexpr const char *color_reset = "\033[0m";
constexpr const char *qr_colors = "\033[30m\033[107m";
constexpr const char *qr_dark = "\u2585\u2585";
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

// Entries from the store always hold their texts; one built in memory may
// lack a timestamp, and printf("%s", nullptr) is undefined.
const char *text_of(const char *text) {
    return text != nullptr ? text : "";
}

// Owns the QR text, which holds the password in clear: wiped before it is
// freed however the function is left.
struct qr_text {
    char *data;
    std::size_t size;
    ~qr_text() {
        OPENSSL_cleanse(data, size);
        std::free(data);
    }
};

// The symbol buffers describe the password too; wipe them on the way out.
struct qr_buffers {
    std::uint8_t temp[qrcodegen_BUFFER_LEN_MAX];
    std::uint8_t symbol[qrcodegen_BUFFER_LEN_MAX];
    ~qr_buffers() {
        OPENSSL_cleanse(temp, sizeof temp);
        OPENSSL_cleanse(symbol, sizeof symbol);
    }
};

// The text layout of one entry between its separators, composed in one
// buffer and written with one call: listing a large database prints hundreds
// of thousands of lines, and a stdio call per line was the biggest cost. The
// buffer is kept for the next entry; whenever it held a password it is wiped
// before anything else can happen to it.
void print_entry_text(const entry *e, int show_password, const char *color) {
    static std::string block;
    char id[16] = "ID: ";
    char *id_end = std::to_chars(id + 4, id + sizeof id - 1, e->id).ptr;
    *id_end++ = '\n';
    const bool secret = show_password == 1;
    const std::string_view parts[] = {
        separator, color, {id, static_cast<std::size_t>(id_end - id)},
        "Title: ", text_of(e->title), "\n",
        "User: ", text_of(e->user), "\n",
        "Url: ", text_of(e->url), "\n",
        "Password: ", secret ? text_of(e->password) : "**********", "\n",
        "Notes: ", text_of(e->notes), "\n",
        "Modified: ", text_of(e->timestamp), "\n",
        color_reset, separator};
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    block.clear();
    block.reserve(size);  // the only step that may move the buffer
    for (std::string_view part : parts) block += part;
    std::fwrite(block.data(), 1, block.size(), stdout);
    if (secret) OPENSSL_cleanse(block.data(), block.size());
}

}  // namespace

const char *color_code() {
    const char *value = std::getenv("KESP_COLOR");
    if (value == nullptr) return color_reset;
    for (const named_color &color : color_table)
        if (std::strcmp(value, color.name) == 0) return color.sequence;
    return color_reset;
}

void print_entry_qrcode(const entry *e) {
    const char *title = text_of(e->title);
    const char *user = text_of(e->user);
    const char *url = text_of(e->url);
    const char *password = text_of(e->password);
    const char *notes = text_of(e->notes);

    // Five line feeds and the terminating NUL.
    std::size_t size = std::strlen(title) + std::strlen(user) + std::strlen(url) +
                       std::strlen(password) + std::strlen(notes) + 6;
    qr_text text{static_cast<char *>(xmalloc(size)), size};
    if (std::snprintf(text.data, size, "%s\n%s\n%s\n%s\n%s\n", title, user, url, password,
                      notes) < 0) {
        std::fputs("Unable to combine entry data.\n", stderr);
        return;
    }

    qr_buffers buffers;
    if (!qrcodegen_encodeText(text.data, buffers.temp, buffers.symbol, qrcodegen_Ecc_LOW,
                              qrcodegen_VERSION_MIN, qrcodegen_VERSION_MAX, qrcodegen_Mask_AUTO,
                              true)) {
        std::fputs("Unable to generate QR code.\n", stderr);
        return;
    }

    std::fputs(qr_colors, stdout);
    int size_in_modules = qrcodegen_getSize(buffers.symbol);
    std::fputs("\n", stdout);
    // getModule reads coordinates outside the symbol as light: that is the
    // quiet zone readers need to find it.
    for (int y = -qr_quiet_zone; y < size_in_modules + qr_quiet_zone; ++y) {
        for (int x = -qr_quiet_zone; x < size_in_modules + qr_quiet_zone; ++x)
            std::fputs(qrcodegen_getModule(buffers.symbol, x, y) ? qr_dark : qr_light, stdout);
        std::fputs("\n", stdout);
    }
    std::fputs(color_reset, stdout);
    std::fputs("\n", stdout);
}

int print_entry(const entry *e, int show_password, int show_qrcode) {
    if (show_qrcode == 1) {
        std::fputs(separator, stdout);
        print_entry_qrcode(e);
        std::fputs(separator, stdout);
    } else {
        print_entry_text(e, show_password, color_code());
    }
    return 0;
}
