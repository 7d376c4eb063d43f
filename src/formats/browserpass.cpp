#include "formats/browserpass.h"

#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "formats/git_credential.h"

namespace {

using json = nlohmann::json;

std::string version_text() { return std::to_string(browser_protocol_version); }

// The length of the UTF-8 sequence starting at `s[i]`, 0 when it is none.
std::size_t utf8_length(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    unsigned char d = byte(i + 1);
    if (c == 0xE0 && d < 0xA0) return 0;  // overlong
    if (c == 0xED && d >= 0xA0) return 0;  // surrogate
    if (c == 0xF0 && d < 0x90) return 0;  // overlong
    if (c == 0xF4 && d >= 0x90) return 0;  // past U+10FFFF
    return n;
}

// The blanks JavaScript's trim() removes, as UTF-8, besides ASCII's.
const char *const js_blanks[] = {"\u00a0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
                                 "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009",
                                 "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
                                 "\ufeff"};

std::size_t blank_at_start(std::string_view s) {
    if (s.empty()) return 0;
    if (std::strchr(" \t\n\v\f\r", s.front()) != nullptr) return 1;
    for (const char *b : js_blanks)
        if (s.starts_with(b)) return std::strlen(b);
    return 0;
}

std::size_t blank_at_end(std::string_view s) {
    if (s.empty()) return 0;
    if (std::strchr(" \t\n\v\f\r", s.back()) != nullptr) return 1;
    for (const char *b : js_blanks)
        if (s.ends_with(b)) return std::strlen(b);
    return 0;
}

// As the extension trims a line or a value.
std::string_view js_trim(std::string_view s) {
    while (std::size_t n = blank_at_start(s)) s.remove_prefix(n);
    while (std::size_t n = blank_at_end(s)) s.remove_suffix(n);
    return s;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (c != b[i]) return false;
    }
    return true;
}

// The field the extension reads from `line` ("name: value", or an
// otpauth:// line), lower case; empty when it reads none. The line may be
// a password: nothing of it is copied.
std::string_view field_of(std::string_view line) {
    if (line.size() > 10 && equal_ignoring_case(line.substr(0, 10), "otpauth://")) return "otp";
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return "";
    std::string_view key = js_trim(line.substr(0, colon));
    bool has_value = !js_trim(line.substr(colon + 1)).empty();
    static constexpr std::string_view fields[] = {
        "secret", "password", "pass", "login", "username", "user", "openid", "otp", "totp",
        "url",    "uri",      "website", "site", "link", "launch", "autosubmit"};
    for (std::string_view field : fields) {
        if (!equal_ignoring_case(key, field)) continue;
        // Only a login may be empty.
        if (!has_value && field != "login" && field != "username" && field != "user") return "";
        return field;
    }
    return "";
}

bool takes_password(std::string_view line) {
    std::string_view field = field_of(line);
    return field == "secret" || field == "password" || field == "pass";
}

bool has_line_break(const char *text) { return std::strpbrk(text_or_empty(text), "\r\n") != nullptr; }

// The password line of a fetch; nothing when the protocol cannot carry it.
std::optional<secret_string> password_line(const char *password) {
    std::string_view pw = text_or_empty(password);
    // The extension drops blank lines and splits at either line break.
    if (has_line_break(password) || js_trim(pw).empty()) return std::nullopt;
    if (field_of(pw).empty()) return secret_string(pw);
    // Read as "password: VALUE", the value trimmed.
    if (js_trim(pw) != pw) return std::nullopt;
    secret_string line("password: ");
    line += pw;
    return line;
}

// A host a name can hold: the extension splits names at '/', and a blank
// or control character names no host.
bool usable_host(std::string_view host) {
    if (host.empty()) return false;
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7f || c == '/' || c == '\\') return false;
    return true;
}

std::optional<std::string> host_of(const char *url_text) {
    std::string_view url = text_or_empty(url_text);
    if (url.empty()) return std::nullopt;
    // "example.com/login" as people type it.
    std::string with_scheme = url.find("://") == std::string_view::npos
                                  ? "https://" + std::string(url)
                                  : std::string(url);
    auto parts = parse_url(with_scheme);
    if (!parts || !usable_host(parts->host)) return std::nullopt;
    return parts->port.empty() ? parts->host : parts->host + ":" + parts->port;
}

// The last part of a name: no slash (it would make a folder, which the
// extension may read as a domain of its own) and no control character.
std::string name_part(std::string_view text) {
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '/') out += "\u2215";
        else if (u < ' ' || u == 0x7f) out += ' ';
        else out += c;
    }
    return out;
}

std::string ok_reply_start() { return "{\"status\":\"ok\",\"version\":" + version_text() + ",\"data\":"; }

}  // namespace

void append_json_string(secret_string &out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[] = {'\\', 'u', '0', '0', digits[c >> 4], digits[c & 15]};
            out += std::string_view(escaped, sizeof escaped);
            ++i;
        } else if (std::size_t n = utf8_length(text, i)) {
            out += text.substr(i, n);
            i += n;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    out += '"';
}

std::uint32_t browser_frame_length(const unsigned char (&header)[browser_header_size]) {
    std::uint32_t length;
    std::memcpy(&length, header, sizeof length);
    return length;
}

secret_string browser_frame(std::string_view json_text) {
    auto length = static_cast<std::uint32_t>(json_text.size());
    secret_string out;
    out.reserve(browser_header_size + json_text.size());
    out += std::string_view(reinterpret_cast<const char *>(&length), sizeof length);
    out += json_text;
    return out;
}

std::string browser_error_reply(browser_error code, std::string_view message) {
    secret_string out("{\"status\":\"error\",\"code\":");
    out += std::to_string(static_cast<int>(code));
    out += ",\"version\":";
    out += version_text();
    out += ",\"params\":{\"message\":";
    append_json_string(out, message);
    out += "}}";
    return std::string(out.view());
}

std::optional<browser_request> parse_browser_request(std::string_view text,
                                                     std::string &error_reply) {
    auto malformed = [&](const char *why) {
        error_reply = browser_error_reply(browser_error::malformed, why);
        return std::nullopt;
    };
    if (text.size() > browser_message_limit) {
        error_reply = browser_error_reply(browser_error::too_long, "The request is too long.");
        return std::nullopt;
    }
    // No exceptions: a text that is no JSON comes back discarded.
    json request = json::parse(text.begin(), text.end(), nullptr, false);
    if (request.is_discarded()) return malformed("The request is no JSON.");
    if (!request.is_object()) return malformed("The request is no JSON object.");
    auto action = request.find("action");
    if (action == request.end() || !action->is_string())
        return malformed("The request names no action.");
    const std::string &name = action->get_ref<const std::string &>();
    browser_request out;
    if (name == "configure") out.action = browser_action::configure;
    else if (name == "list") out.action = browser_action::list;
    else if (name == "fetch") out.action = browser_action::fetch;
    else if (name == "echo") out.action = browser_action::echo;
    else {
        error_reply = browser_error_reply(browser_error::unknown_action,
                                          "kesp-browser does not know the action " + name + ".");
        return std::nullopt;
    }
    // The store the extension knows kesp by: its default store, or else the
    // first of those it names.
    if (auto settings = request.find("settings"); settings != request.end()) {
        if (!settings->is_object()) return malformed("The settings are no JSON object.");
        if (auto stores = settings->find("stores"); stores != settings->end()) {
            if (!stores->is_object()) return malformed("The stores are no JSON object.");
            if (!stores->empty() && !stores->contains("default")) out.store = stores->begin().key();
        }
    }
    if (out.action == browser_action::fetch) {
        auto file = request.find("file");
        if (file == request.end() || !file->is_string())
            return malformed("The request names no file.");
        out.file = file->get_ref<const std::string &>();
        if (auto store = request.find("storeId"); store != request.end() && !store->is_string())
            return malformed("The store id is no text.");
    }
    if (out.action == browser_action::echo) {
        auto echo = request.find("echoResponse");
        out.echo = echo == request.end() ? "null"
                                         : echo->dump(-1, ' ', false, json::error_handler_t::replace);
    }
    return out;
}

std::string browser_configure_reply() {
    return ok_reply_start() +
           "{\"defaultStore\":{\"path\":\"kesp\",\"settings\":\"{}\"},\"storeSettings\":{}}}";
}

std::string browser_echo_reply(const browser_request &request) {
    return ok_reply_start() + request.echo + "}";
}

std::vector<browser_name> browser_names(const entry *first) {
    std::vector<browser_name> out;
    std::set<std::string> taken;
    for (const entry *e = first; e != nullptr; e = e->next) {
        auto host = host_of(e->url);
        if (!host || !password_line(e->password) || has_line_break(e->user) ||
            has_line_break(e->url))
            continue;
        std::string_view who = text_or_empty(e->user);
        if (who.empty()) who = text_or_empty(e->title);
        std::string base = *host + "/" + (who.empty() ? "entry " + std::to_string(e->id)
                                                      : name_part(who));
        std::string name = base;
        while (taken.count(name + ".gpg")) name += " (" + std::to_string(e->id) + ")";
        name += ".gpg";
        taken.insert(name);
        out.push_back({name, e});
    }
    return out;
}

std::string browser_list_reply(const std::vector<browser_name> &names, const std::string &store) {
    secret_string out(ok_reply_start());
    out += "{\"files\":{";
    append_json_string(out, store);
    out += ":[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ',';
        append_json_string(out, names[i].name);
    }
    out += "]}}}";
    return std::string(out.view());
}

secret_string browser_fetch_text(const entry &e) {
    secret_string out;
    auto first = password_line(e.password);
    if (first) out += first->view();
    out += "\nlogin: ";
    out += text_or_empty(e.user);
    out += "\nurl: ";
    out += text_or_empty(e.url);
    out += '\n';
    std::string_view notes = text_or_empty(e.notes);
    while (!notes.empty()) {
        std::size_t end = notes.find_first_of("\r\n");
        std::string_view line = notes.substr(0, end);
        if (takes_password(line)) out += "notes: ";
        out += line;
        out += '\n';
        if (end == std::string_view::npos) break;
        notes.remove_prefix(notes.substr(end, 2) == "\r\n" ? end + 2 : end + 1);
    }
    return out;
}

secret_string browser_fetch_reply(const std::vector<browser_name> &names,
                                  const browser_request &request) {
    for (const auto &n : names) {
        if (n.name != request.file) continue;
        secret_string out(ok_reply_start());
        out += "{\"contents\":";
        append_json_string(out, browser_fetch_text(*n.e).view());
        out += "}}";
        return out;
    }
    return secret_string(browser_error_reply(browser_error::no_such_entry,
                                             "No kesp entry is named " + request.file + "."));
}

bool browser_manifest_is_kesp(std::string_view text) {
    json manifest = json::parse(text.begin(), text.end(), nullptr, false);
    if (!manifest.is_object()) return false;
    auto path = manifest.find("path");
    if (path == manifest.end() || !path->is_string()) return false;
    return path->get_ref<const std::string &>().ends_with("/kesp-browser");
}
