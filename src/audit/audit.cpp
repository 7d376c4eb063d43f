#include "audit/audit.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "audit/strength.h"
#include "memory/secret.h"

namespace {

// An entry as the audit sees it; the texts are the entry list's.
struct subject {
    const entry *e;
    std::vector<int> others;  // the entries with the same password
};

std::string number(long long n) { return std::to_string(n); }

// Groups the entries by their password, compared in memory: each entry
// with a password that others have too learns their ids.
void find_reuse(std::vector<subject> &all) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (*text_or_empty(all[i].e->password) != '\0') order.push_back(i);
    auto password = [&](std::size_t i) { return text_or_empty(all[i].e->password); };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::strcmp(password(a), password(b)) < 0;
    });
    for (std::size_t start = 0; start < order.size();) {
        std::size_t end = start + 1;
        while (end < order.size() && std::strcmp(password(order[start]), password(order[end])) == 0)
            ++end;
        if (end - start > 1) {
            for (std::size_t i = start; i < end; ++i)
                for (std::size_t j = start; j < end; ++j)
                    if (i != j) all[order[i]].others.push_back(all[order[j]].e->id);
            for (std::size_t i = start; i < end; ++i)
                std::sort(all[order[i]].others.begin(), all[order[i]].others.end());
        }
        start = end;
    }
}

std::string weak_reason(const strength &s) {
    std::string magnitude =
        s.guesses_log10 < 1 ? "fewer than 10 guesses"
                            : "about 10^" + number(std::lround(s.guesses_log10)) + " guesses";
    return s.patterns + "; " + magnitude;
}

// Appends `text`, shown safely: as JSON string content when `json`, else
// as text for one line of a terminal.
void append_shown(std::string &out, std::string_view text, bool json) {
    static const char hex[] = "0123456789abcdef";
    auto code = [&](const char *prefix, unsigned char c) {
        out += prefix;
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            code(json ? "\\u00" : "\\x", c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            if (json && (c == '"' || c == '\\')) out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The length of a well-formed UTF-8 sequence here, 0 if none.
        auto at = [&](std::size_t k) {
            return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        };
        auto cont = [&](std::size_t k, unsigned char low = 0x80, unsigned char high = 0xbf) {
            return at(k) >= low && at(k) <= high;
        };
        std::size_t length = 0;
        if (c >= 0xc2 && c <= 0xdf && cont(1)) length = 2;
        else if (c == 0xe0 && cont(1, 0xa0) && cont(2)) length = 3;
        else if (c == 0xed && cont(1, 0x80, 0x9f) && cont(2)) length = 3;
        else if (c >= 0xe1 && c <= 0xef && cont(1) && cont(2)) length = 3;
        else if (c == 0xf0 && cont(1, 0x90) && cont(2) && cont(3)) length = 4;
        else if (c >= 0xf1 && c <= 0xf3 && cont(1) && cont(2) && cont(3)) length = 4;
        else if (c == 0xf4 && cont(1, 0x80, 0x8f) && cont(2) && cont(3)) length = 4;
        if (length == 0) {
            if (json) out += "\\ufffd";
            else code("\\x", c);
            ++i;
        } else if (length == 2 && c == 0xc2 && at(1) <= 0x9f) {  // a C1 control
            code("\\u00", at(1));
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    append_shown(out, text, true);
    return out + "\"";
}

struct checks {
    const audit_request &request;
    audit_report &report;
    std::map<int, const entry *> by_id;
};

// Whether `password` is in the list; nothing, after a message, when the
// look-up fails.
std::optional<pwned_lookup> look_up(const pwned_list &list, const char *password) {
    wiped_array<EVP_MAX_MD_SIZE> digest;
    unsigned int length = 0;
    if (EVP_Digest(password, std::strlen(password), digest.data, &length, EVP_sha1(), nullptr) != 1) {
        std::fputs("Cannot compute a SHA-1 digest.\n", stderr);
        return std::nullopt;
    }
    return list.find(digest.data);
}

// The findings for one entry, in the order of their kinds. False after a
// message when the list could not be searched.
bool audit_one(const subject &s, checks &c) {
    const entry &e = *s.e;
    const char *password = text_or_empty(e.password);
    auto add = [&](finding_kind kind, std::string reason) -> finding & {
        finding f;
        f.id = e.id;
        f.title = text_or_empty(e.title);
        f.kind = kind;
        f.reason = std::move(reason);
        c.report.findings.push_back(std::move(f));
        return c.report.findings.back();
    };
    bool has_password = *password != '\0';
    if (has_password) {
        strength st = estimate_strength(password, entry_words(e));
        if (st.guesses_log10 < weak_below_log10) {
            add(finding_kind::weak, weak_reason(st)).guesses_log10 =
                std::round(st.guesses_log10 * 10) / 10;
            ++c.report.weak;
        }
    } else if (*text_or_empty(e.user) != '\0' || *text_or_empty(e.url) != '\0') {
        // Only a login lacks its password: a note, or a card or identity
        // with no number, has none by nature.
        add(finding_kind::empty, "no password");
        ++c.report.empty;
    }
    if (!s.others.empty()) {
        std::string reason = "the same password as ";
        for (std::size_t i = 0; i < s.others.size(); ++i) {
            if (i > 0) reason += ", ";
            reason += number(s.others[i]) + " (" + text_or_empty(c.by_id[s.others[i]]->title) + ")";
        }
        add(finding_kind::reused, reason).others = s.others;
        ++c.report.reusing;
    }
    if (has_password && c.request.earlier != nullptr) {
        auto kept = c.request.earlier->find(e.id);
        if (kept != c.request.earlier->end() && reuses_earlier_password(password, kept->second)) {
            add(finding_kind::reused, "an earlier password of this entry");
            if (s.others.empty()) ++c.report.reusing;
        }
    }
    auto changed = stored_time(e.timestamp);
    long seconds_old = changed ? static_cast<long>(std::difftime(c.request.now, *changed)) : 0;
    if (!changed || seconds_old > c.request.older_than_days * 86400L) {
        std::optional<long> days;
        if (changed) days = seconds_old / 86400;
        add(finding_kind::old, days ? "not changed for " + number(*days) + " days"
                                    : "no readable modification time")
            .days = days;
        ++c.report.old;
    }
    if (has_password && c.request.pwned != nullptr) {
        auto found = look_up(*c.request.pwned, password);
        if (!found) return false;
        if (found->found) {
            add(finding_kind::breached, "in the Pwned Passwords list, seen " +
                                            number(static_cast<long long>(found->count)) +
                                            (found->count == 1 ? " time" : " times"))
                .count = found->count;
            ++c.report.breached;
        }
    }
    return true;
}

}  // namespace

bool reuses_earlier_password(std::string_view current, const std::vector<secret_string> &earlier) {
    constexpr std::size_t looked_at = 5;
    std::size_t i = 0;
    while (i < earlier.size() && earlier[i].view() == current) ++i;  // not changed since
    std::vector<std::string_view> different;
    for (; i < earlier.size() && different.size() < looked_at; ++i)
        if (std::find(different.begin(), different.end(), earlier[i].view()) == different.end())
            different.push_back(earlier[i].view());
    return std::find(different.begin(), different.end(), current) != different.end();
}

const char *kind_name(finding_kind kind) {
    switch (kind) {
    case finding_kind::weak: return "weak";
    case finding_kind::empty: return "empty";
    case finding_kind::reused: return "reused";
    case finding_kind::old: return "old";
    case finding_kind::breached: return "breached";
    }
    return "";
}

std::optional<std::time_t> stored_time(const char *timestamp) {
    if (timestamp == nullptr) return std::nullopt;
    std::tm t{};
    char rest = 0;
    if (std::sscanf(timestamp, "%4d-%2d-%2d %2d:%2d:%2d%c", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &rest) != 6 ||
        std::strlen(timestamp) != 19)
        return std::nullopt;
    if (t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 60)
        return std::nullopt;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    std::time_t seconds = std::mktime(&t);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return seconds;
}

std::optional<audit_report> audit_entries(const entry *first, const audit_request &request) {
    audit_report report;
    checks c{request, report, {}};
    std::vector<subject> all;
    for (const entry *e = first; e != nullptr; e = e->next) {
        all.push_back({e, {}});
        c.by_id[e->id] = e;
    }
    for (int id : request.ids)
        if (c.by_id.count(id) == 0) {
            std::fprintf(stderr, "Entry %d not found.\n", id);
            return std::nullopt;
        }
    find_reuse(all);

    std::vector<int> wanted = request.ids;
    std::sort(wanted.begin(), wanted.end());
    std::map<std::string_view, bool> shared;  // the reused passwords among those reported
    for (const subject &s : all) {
        if (!request.ids.empty() && !std::binary_search(wanted.begin(), wanted.end(), s.e->id))
            continue;
        ++report.checked;
        if (!audit_one(s, c)) return std::nullopt;
        if (!s.others.empty()) shared[text_or_empty(s.e->password)] = true;
    }
    report.reused_passwords = shared.size();
    return report;
}

std::string finding_line(const finding &f) {
    std::string line = number(f.id) + " ";
    append_shown(line, f.title, false);
    line += std::string(": ") + kind_name(f.kind) + ": ";
    append_shown(line, f.reason, false);
    return line + "\n";
}

std::string finding_json(const finding &f) {
    std::string json = "{\"id\": " + number(f.id) + ", \"title\": " + quoted(f.title) +
                       ", \"kind\": \"" + kind_name(f.kind) + "\", \"reason\": " + quoted(f.reason);
    switch (f.kind) {
    case finding_kind::weak: {
        char value[32];
        std::snprintf(value, sizeof value, "%.1f", f.guesses_log10);
        json += std::string(", \"guesses_log10\": ") + value;
        break;
    }
    case finding_kind::reused:
        json += ", \"others\": [";
        for (std::size_t i = 0; i < f.others.size(); ++i)
            json += (i > 0 ? ", " : "") + number(f.others[i]);
        json += "]";
        break;
    case finding_kind::old:
        json += ", \"days\": " + (f.days ? number(*f.days) : std::string("null"));
        break;
    case finding_kind::breached:
        json += ", \"count\": " + number(static_cast<long long>(f.count));
        break;
    case finding_kind::empty:
        break;
    }
    return json + "}\n";
}

std::string summary_line(const audit_report &r, const audit_request &request) {
    std::string line = number(static_cast<long long>(r.checked)) +
                       (r.checked == 1 ? " entry" : " entries") + " checked: " +
                       number(static_cast<long long>(r.weak)) + " weak, " +
                       number(static_cast<long long>(r.empty)) + " empty, " +
                       number(static_cast<long long>(r.reusing)) + " reusing " +
                       number(static_cast<long long>(r.reused_passwords)) +
                       (r.reused_passwords == 1 ? " password, " : " passwords, ") +
                       number(static_cast<long long>(r.old)) + " older than " +
                       number(request.older_than_days) +
                       (request.older_than_days == 1 ? " day" : " days");
    if (request.pwned != nullptr)
        line += ", " + number(static_cast<long long>(r.breached)) + " breached";
    return line + ".\n";
}
