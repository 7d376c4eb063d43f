#include "formats/formats.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "formats/internal.h"

namespace {

struct named_format {
    transfer_format format;
    const char *name;
    bool exported;
};

constexpr named_format format_table[] = {
    {transfer_format::keepassxc_csv, "keepassxc-csv", false},
    {transfer_format::keepass_xml, "keepass-xml", true},
    {transfer_format::bitwarden_json, "bitwarden-json", true},
    {transfer_format::bitwarden_csv, "bitwarden-csv", false},
    {transfer_format::chrome_csv, "chrome-csv", false},
    {transfer_format::firefox_csv, "firefox-csv", false},
    {transfer_format::lastpass_csv, "lastpass-csv", false},
    {transfer_format::onepassword_csv, "1password-csv", false},
    {transfer_format::kesp_csv, "kesp-csv", true},
    {transfer_format::kesp_json, "kesp-json", true},
};

constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

bool is_json(transfer_format f) {
    return f == transfer_format::bitwarden_json || f == transfer_format::kesp_json;
}

// Offset of the first byte that is not part of well-formed UTF-8, or npos.
std::size_t invalid_utf8_at(std::string_view text) {
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) length = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) length = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) length = 4, cp = c & 0x07;
        else return i;
        if (i + length > n) return i;
        for (std::size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return i;
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        if ((length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return i;
        i += length;
    }
    return std::string_view::npos;
}

std::string unrecognised() {
    return "the format is not recognised; the formats are " + format_names(false);
}

}  // namespace

const char *format_name(transfer_format format) {
    for (const auto &f : format_table)
        if (f.format == format) return f.name;
    return "";
}

std::optional<transfer_format> format_from_name(std::string_view name) {
    for (const auto &f : format_table)
        if (name == f.name) return f.format;
    return std::nullopt;
}

bool can_export(transfer_format format) {
    for (const auto &f : format_table)
        if (f.format == format) return f.exported;
    return false;
}

std::string format_names(bool export_only) {
    std::string names;
    // The export formats in the order the manual lists them, kesp's own first.
    static const transfer_format export_order[] = {transfer_format::kesp_csv, transfer_format::kesp_json,
                                                   transfer_format::bitwarden_json,
                                                   transfer_format::keepass_xml};
    if (export_only) {
        for (auto f : export_order) names += (names.empty() ? "" : ", ") + std::string(format_name(f));
        return names;
    }
    for (const auto &f : format_table) names += (names.empty() ? "" : ", ") + std::string(f.name);
    return names;
}

parse_result parse_transfer(std::string_view bytes, std::optional<transfer_format> format) {
    parse_result result;
    result.text_room = bytes.size() > (SIZE_MAX - record_text_floor) / record_text_factor
                           ? SIZE_MAX
                           : std::max(record_text_floor, record_text_factor * bytes.size());
    if (bytes.substr(0, 3) == utf8_bom) bytes.remove_prefix(3);
    if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
        result.error = "the file is UTF-16; only UTF-8 is read";
        return result;
    }
    if (std::size_t bad = invalid_utf8_at(bytes); bad != std::string_view::npos) {
        result.error = "line " + std::to_string(line_at(bytes, bad)) + ": invalid UTF-8";
        return result;
    }
    if (std::size_t nul = bytes.find('\0'); nul != std::string_view::npos) {
        result.error = "line " + std::to_string(line_at(bytes, nul)) + ": a NUL byte";
        return result;
    }

    if (format) {
        result.format = *format;
        if (*format == transfer_format::keepass_xml) parse_keepass_xml(bytes, result);
        else if (is_json(*format)) parse_json(bytes, format, result);
        else parse_csv(bytes, format, result);
        return result;
    }

    std::size_t first = bytes.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        result.error = "the file is empty";
        return result;
    }
    char c = bytes[first];
    if (c == '{' || c == '[') {
        parse_json(bytes, std::nullopt, result);
    } else if (c == '<') {
        result.format = transfer_format::keepass_xml;
        parse_keepass_xml(bytes, result);
    } else {
        parse_csv(bytes, std::nullopt, result);
    }
    if (!result.ok && result.error.empty()) result.error = unrecognised();
    return result;
}

write_result write_transfer(const std::vector<transfer_record> &records, transfer_format format,
                            const std::vector<transfer_removed> &removed) {
    write_result result;
    for (const transfer_removed &r : removed)
        for (const transfer_version &v : r.history)
            for (const secret_string *text : {&v.title, &v.user, &v.url, &v.password, &v.notes})
                if (!valid_utf8(*text)) {
                    result.error = "removed entry " + r.handle + ": a version is not UTF-8";
                    return result;
                }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const transfer_record &r = records[i];
        const std::pair<const char *, const secret_string *> texts[] = {
            {"title", &r.title}, {"user name", &r.user}, {"URL", &r.url},
            {"password", &r.password}, {"notes", &r.notes}};
        for (const auto &[what, text] : texts) {
            if (!valid_utf8(*text)) {
                result.error = "entry " + std::to_string(r.id) + ": the " + what + " field is not UTF-8";
                return result;
            }
        }
        for (const transfer_version &v : r.history)
            for (const secret_string *text : {&v.title, &v.user, &v.url, &v.password, &v.notes})
                if (!valid_utf8(*text)) {
                    result.error = "entry " + std::to_string(r.id) +
                                   ": an earlier version is not UTF-8";
                    return result;
                }
    }
    switch (format) {
    case transfer_format::kesp_csv: result.error = write_kesp_csv(records, result.bytes); break;
    case transfer_format::kesp_json:
    case transfer_format::bitwarden_json:
        result.error = write_json(records, format, removed, result.bytes);
        break;
    case transfer_format::keepass_xml: result.error = write_keepass_xml(records, result.bytes); break;
    default: result.error = std::string(format_name(format)) + " is not an export format"; break;
    }
    result.ok = result.error.empty();
    if (!result.ok) result.bytes.clear();
    return result;
}

std::size_t drop_duplicates(std::vector<transfer_record> &records, const entry *existing) {
    using key = std::array<std::string_view, 5>;
    std::set<key> seen;
    for (const entry *e = existing; e != nullptr; e = e->next)
        seen.insert({text_or_empty(e->title), text_or_empty(e->user), text_or_empty(e->url),
                     text_or_empty(e->password), text_or_empty(e->notes)});
    // Marked first and moved afterwards, so that the views in `seen` stay put.
    std::vector<bool> duplicate(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto &r = records[i];
        duplicate[i] = !seen.insert({r.title.view(), r.user.view(), r.url.view(), r.password.view(),
                                     r.notes.view()})
                            .second;
    }
    seen.clear();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!duplicate[i]) {
            if (kept != i) records[kept] = std::move(records[i]);
            ++kept;
        }
    std::size_t dropped = records.size() - kept;
    records.resize(kept);
    return dropped;
}

namespace {

std::string_view default_port(std::string_view scheme) {
    if (scheme == "http" || scheme == "ws") return "80";
    if (scheme == "https" || scheme == "wss") return "443";
    if (scheme == "ftp") return "21";
    return {};
}

bool scheme_text(std::string_view text) {
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

// A login's key: the site and user name, or, without a URL, the title and
// user name (kind 0).
using login_key = std::tuple<int, std::string, std::string_view, std::string_view>;

login_key key_of(std::string_view title, std::string_view user, std::string_view url) {
    if (url.empty()) return {0, std::string(), title, user};
    return {1, url_site(url), std::string_view(), user};
}

}  // namespace

std::string url_site(std::string_view url) {
    std::string scheme;
    std::string_view rest = url;
    if (std::size_t sep = url.find("://");
        sep != std::string_view::npos && scheme_text(url.substr(0, sep))) {
        scheme = lower(url.substr(0, sep));
        rest = url.substr(sep + 3);
    }
    std::string_view authority = rest.substr(0, rest.find_first_of("/\\?#"));
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host = authority, port;
    if (!host.empty() && host.front() == '[') {  // [IPv6]:port
        std::size_t close = host.find(']');
        if (close != std::string_view::npos) {
            port = host.substr(close + 1);
            host = host.substr(0, close + 1);
            if (!port.empty() && port.front() != ':') host = {};  // "[::1]x": no host
            if (!port.empty()) port.remove_prefix(1);
        }
    } else if (std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    while (!host.empty() && host.back() == '.') host.remove_suffix(1);
    while (port.size() > 1 && port.front() == '0') port.remove_prefix(1);
    const bool plain =
        !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
            return static_cast<unsigned char>(c) > ' ' && c != 0x7F;
        }) && std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!plain) {
        if (!url.empty() && url.back() == '/') url.remove_suffix(1);
        return "=" + std::string(url);
    }
    std::string site = scheme + "://" + lower(host);
    if (!port.empty() && port != default_port(scheme)) site += ":" + std::string(port);
    return site;
}

import_plan plan_import(const std::vector<transfer_record> &records, const entry *existing,
                        bool update) {
    import_plan plan;
    using texts = std::array<std::string_view, 5>;
    std::set<texts> seen;
    std::map<login_key, std::vector<const entry *>> entries;
    for (const entry *e = existing; e != nullptr; e = e->next) {
        seen.insert({text_or_empty(e->title), text_or_empty(e->user), text_or_empty(e->url),
                     text_or_empty(e->password), text_or_empty(e->notes)});
        entries[key_of(text_or_empty(e->title), text_or_empty(e->user), text_or_empty(e->url))]
            .push_back(e);
    }
    // The records that stand for each entry, in file order.
    std::map<const entry *, std::vector<std::size_t>> standing;
    std::vector<const entry *> order;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const transfer_record &r = records[i];
        if (!seen.insert({r.title.view(), r.user.view(), r.url.view(), r.password.view(),
                          r.notes.view()})
                 .second) {
            ++plan.duplicates;
            continue;
        }
        auto found = entries.find(key_of(r.title.view(), r.user.view(), r.url.view()));
        if (found == entries.end()) {
            plan.added.push_back(i);
            continue;
        }
        ++plan.differing;
        if (update && !r.modified.empty() && found->second.size() == 1) {
            auto &list = standing[found->second.front()];
            if (list.empty()) order.push_back(found->second.front());
            list.push_back(i);
        } else if (update && r.modified.empty()) {
            ++plan.undated;
        }
    }
    for (const entry *e : order) {
        std::optional<std::size_t> newest;
        for (std::size_t i : standing[e])
            if (records[i].modified > text_or_empty(e->timestamp) &&
                (!newest || records[i].modified >= records[*newest].modified))
                newest = i;
        if (!newest) continue;
        plan.updates.push_back({e->id, *newest});
        --plan.differing;
    }
    std::sort(plan.updates.begin(), plan.updates.end(),
              [](const import_update &a, const import_update &b) { return a.record < b.record; });
    return plan;
}

entry_ptr records_to_entries(const std::vector<transfer_record> &records, const std::string &fallback) {
    entry_ptr head(entry_new("dummy", "dummy", "dummy", "dummy", "dummy"));
    entry *tail = head.get();
    for (const auto &r : records) {
        tail = entry_append(tail, r.title.c_str(), r.user.c_str(), r.url.c_str(), r.password.c_str(),
                            r.notes.c_str());
        tail->timestamp = xstrdup(r.modified.empty() ? fallback.c_str() : r.modified.c_str());
    }
    return head;
}

transfer_record record_from_entry(const entry &e) {
    transfer_record r;
    r.title.assign(text_or_empty(e.title));
    r.user.assign(text_or_empty(e.user));
    r.url.assign(text_or_empty(e.url));
    r.password.assign(text_or_empty(e.password));
    r.notes.assign(text_or_empty(e.notes));
    r.modified = text_or_empty(e.timestamp);
    r.id = e.id;
    return r;
}

// ---- shared pieces (internal.h) ----

void notes_builder::add(group g, std::string_view key, std::string_view value) {
    secret_string &lines = lines_[g];
    if (!lines.empty()) lines += '\n';
    lines += key;
    lines += ':';
    if (!value.empty()) {
        lines += ' ';
        lines += value;
    }
}

void notes_builder::add_hidden(group g, std::string_view key, std::string_view value) {
    secret_string named(key);
    // The marker without its final blank, which add() writes.
    named += hidden_value_marker.substr(0, hidden_value_marker.size() - 2);
    add(g, named.view(), value);
}

void notes_builder::add_line(group g, std::string_view line) {
    if (line.empty()) return;
    secret_string &lines = lines_[g];
    if (!lines.empty()) lines += '\n';
    lines += line;
}

void notes_builder::add_totp(std::string_view value, std::string_view title,
                             std::string_view parameters) {
    if (value.empty()) return;
    secret_string uri = totp_uri(value, title, parameters);
    if (uri.empty()) {
        add(other, "TOTP", value);
        return;
    }
    if (!totp_.empty()) totp_ += '\n';
    totp_ += uri.view();
}

secret_string notes_builder::finish(std::string_view notes) const {
    secret_string text(notes);
    auto put = [&text](const secret_string &lines) {
        if (lines.empty()) return;
        if (!text.empty() && text.view().back() != '\n') text += '\n';
        text += lines.view();
    };
    for (const auto &lines : lines_) put(lines);
    put(totp_);
    return text;
}

secret_string totp_uri(std::string_view value, std::string_view title,
                       std::string_view parameters) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (lower(value.substr(0, 10)) == "otpauth://") return secret_string(value);
    secret_string secret;
    for (char c : value) {
        if (c == ' ') continue;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!((c >= 'A' && c <= 'Z') || (c >= '2' && c <= '7') || c == '=')) return {};
        secret += c;
    }
    if (secret.empty()) return {};
    secret_string uri("otpauth://totp/");
    append_percent_encoded(uri, title);
    uri += "?secret=";
    uri += secret.view();
    uri += parameters;
    return uri;
}

void append_percent_encoded(secret_string &uri, std::string_view value) {
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            char escaped[3] = {'%', hex[c >> 4], hex[c & 15]};
            uri.append({escaped, 3});
        }
    }
}

void take_time(std::optional<std::string> local, std::string_view name, std::string_view value,
               transfer_record &r, notes_builder &notes) {
    if (value.empty()) return;
    if (local) r.modified = *local;
    else notes.add(notes_builder::other, name, value);
}

bool add_record(parse_result &result, transfer_record &&r) {
    std::size_t size = r.title.size() + r.user.size() + r.url.size() + r.password.size() +
                       r.notes.size();
    for (const transfer_version &v : r.history)
        size += v.title.size() + v.user.size() + v.url.size() + v.password.size() +
                v.notes.size() + v.modified.size() + v.replaced.size();
    if (size > result.text_room) {
        result.error = "the entries would take over " + std::to_string(record_text_floor >> 20) +
                       " MiB and more than four times the size of the file; no export is like that";
        return false;
    }
    result.text_room -= size;
    result.records.push_back(std::move(r));
    return true;
}

bool add_removed(parse_result &result, transfer_removed &&r) {
    std::size_t size = r.handle.size();
    for (const transfer_version &v : r.history)
        size += v.title.size() + v.user.size() + v.url.size() + v.password.size() +
                v.notes.size() + v.modified.size() + v.replaced.size();
    if (size > result.text_room) {
        result.error = "the entries would take over " + std::to_string(record_text_floor >> 20) +
                       " MiB and more than four times the size of the file; no export is like that";
        return false;
    }
    result.text_room -= size;
    result.removed.push_back(std::move(r));
    return true;
}

std::string printable(std::string_view text) {
    std::string shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        // U+0080 to U+009F are C2 80 to C2 9F in UTF-8.
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next < 0xA0) {
            shown += '?';
            ++i;
        } else {
            shown += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
        }
    }
    return shown;
}

std::string url_host(std::string_view url) {
    std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return std::string(url);
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
    if (!rest.empty() && rest.front() == '[') {  // [IPv6]:port
        std::size_t close = rest.find(']');
        return std::string(rest.substr(0, close == std::string_view::npos ? rest.size() : close + 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

std::size_t line_at(std::string_view text, std::size_t offset) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i)
        if (text[i] == '\n') ++line;
    return line;
}

void count_skipped(parse_result &result, const std::string &kind, std::size_t count) {
    if (count == 0) return;
    for (auto &s : result.skipped)
        if (s.kind == kind) {
            s.count += count;
            return;
        }
    result.skipped.push_back({kind, count});
}

void skip_bitwarden_type(parse_result &result, std::string_view type) {
    static constexpr std::string_view typed = "Bitwarden items of type ";
    constexpr std::size_t shown_types = 8;
    if (type.empty()) return count_skipped(result, "Bitwarden items without a type");
    std::string kind = std::string(typed) + std::string(type);
    bool plain = type.size() <= 16 &&
                 std::all_of(type.begin(), type.end(), [](char c) { return c > ' ' && c < 0x7F; });
    std::size_t types = 0;
    bool known = false;
    for (const auto &s : result.skipped) {
        if (s.kind.compare(0, typed.size(), typed) == 0) ++types;
        known = known || s.kind == kind;
    }
    if (!plain || (!known && types >= shown_types)) kind = "Bitwarden items of other types";
    count_skipped(result, kind);
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool valid_utf8(std::string_view text) { return invalid_utf8_at(text) == std::string_view::npos; }
