#include "audit/audit.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include "audit/strength.h"
#include "memory/secret.h"

namespace {

std::string number(long long n) { return std::to_string(n); }

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

constexpr std::size_t keyed_size = 32;  // SHA-256

// What was found of one entry reported on, but its reuse of other entries'
// passwords (known only once every entry is in).
constexpr std::uint8_t is_weak = 1, is_empty = 2, reuses_earlier = 4, is_old = 8,
                       time_unreadable = 16;

}  // namespace

struct audit_state {
    audit_request request;
    std::vector<int> wanted;  // the request's ids, sorted
    wiped_array<keyed_size> key;

    // Every entry, by position in the order they came (ascending ids).
    // Deques, which grow a block at a time: a vector that doubles holds its
    // old and new arrays at once, which at a million entries would be the
    // peak.
    std::deque<int> ids;
    std::deque<std::size_t> title_ends;  // title i ends there in `titles`
    std::string titles;

    // The entries with a password; sorted by digest once all are in.
    struct keyed {
        unsigned char digest[keyed_size];
        std::uint32_t entry;
    };
    std::deque<keyed, wiping_allocator<keyed>> digests;
    bool digests_sorted = false;

    // The entries reported on, in order.
    struct outcome {
        std::uint32_t entry;
        std::uint8_t flags;
        std::int32_t days;  // old, with a readable time (four-digit years)
    };
    std::deque<outcome> checked;
    struct weak_note {
        std::uint32_t checked;
        std::uint32_t patterns;  // in `pattern_texts`
        double guesses_log10;
    };
    std::vector<weak_note> weak;
    std::vector<std::string> pattern_texts;
    std::map<std::string, std::uint32_t> pattern_numbers;

    // With ids: the SHA-1 of each password to look up, until the end.
    struct sha1_of {
        unsigned char digest[20];
        std::uint32_t checked;
    };
    std::vector<sha1_of, wiping_allocator<sha1_of>> to_look_up;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> breached;  // by checked

    // The groups of entries that share a password, each in ascending ids,
    // one after another; and for every such entry the group it is in.
    std::vector<std::uint32_t> members;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> group_of;  // entry, first member
    std::vector<std::uint32_t> group_ends;  // by first member: where the group ends

    // The earlier passwords of the entry now being read from the record.
    bool earlier_started = false;
    std::int64_t earlier_id = 0;
    bool earlier_skipping = false;
    const unsigned char *earlier_current = nullptr;
    std::vector<std::array<unsigned char, keyed_size>,
                wiping_allocator<std::array<unsigned char, keyed_size>>> earlier_different;
    std::size_t earlier_checked = SIZE_MAX;
};

void audit_state_releaser::operator()(audit_state *state) const { delete state; }

namespace {

bool keyed_digest(const audit_state &a, std::string_view password, unsigned char *out) {
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), a.key.data, keyed_size,
             reinterpret_cast<const unsigned char *>(password.data()), password.size(), out,
             &length) == nullptr ||
        length != keyed_size) {
        std::fputs("Cannot compute a SHA-256 digest.\n", stderr);
        return false;
    }
    return true;
}

// Notes `s` as breached when the list has it. False after a message when
// the look-up fails.
bool look_up(audit_state &a, const audit_state::sha1_of &s) {
    auto found = a.request.pwned->find(s.digest);
    if (!found) return false;
    // A range file the folder lacks is counted by the list and said once
    // the look-ups are over (audit_finish).
    if (found->found) a.breached.emplace_back(s.checked, found->count);
    return true;
}

std::string_view title_of(const audit_state &a, std::uint32_t entry) {
    std::size_t start = entry == 0 ? 0 : a.title_ends[entry - 1];
    return std::string_view(a.titles).substr(start, a.title_ends[entry] - start);
}

// Position of the entry with `id`, or SIZE_MAX.
std::size_t entry_at(const audit_state &a, std::int64_t id) {
    auto found = std::lower_bound(a.ids.begin(), a.ids.end(), id,
                                  [](int have, std::int64_t want) { return have < want; });
    if (found == a.ids.end() || *found != id) return SIZE_MAX;
    return static_cast<std::size_t>(found - a.ids.begin());
}

bool wanted(const audit_state &a, int id) {
    return a.request.ids.empty() || std::binary_search(a.wanted.begin(), a.wanted.end(), id);
}

// Groups the entries by their digest: each entry with a password that
// others have too learns its group.
void find_reuse(audit_state &a) {
    std::sort(a.digests.begin(), a.digests.end(),
              [](const audit_state::keyed &x, const audit_state::keyed &y) {
                  int order = std::memcmp(x.digest, y.digest, keyed_size);
                  return order != 0 ? order < 0 : x.entry < y.entry;
              });
    a.digests_sorted = true;
    for (std::size_t start = 0; start < a.digests.size();) {
        std::size_t end = start + 1;
        while (end < a.digests.size() &&
               std::memcmp(a.digests[start].digest, a.digests[end].digest, keyed_size) == 0)
            ++end;
        if (end - start > 1) {
            auto first = static_cast<std::uint32_t>(a.members.size());
            for (std::size_t i = start; i < end; ++i) {
                a.members.push_back(a.digests[i].entry);
                a.group_of.emplace_back(a.digests[i].entry, first);
            }
            a.group_ends.resize(a.members.size());
            a.group_ends[first] = static_cast<std::uint32_t>(a.members.size());
        }
        start = end;
    }
    std::sort(a.group_of.begin(), a.group_of.end());
    // Nothing compares digests any more.
    decltype(a.digests)().swap(a.digests);
}

// The group of `entry` as [first, end) in members; empty when it has none.
std::pair<std::uint32_t, std::uint32_t> group(const audit_state &a, std::uint32_t entry) {
    auto found = std::lower_bound(a.group_of.begin(), a.group_of.end(),
                                  std::make_pair(entry, std::uint32_t{0}));
    if (found == a.group_of.end() || found->first != entry) return {0, 0};
    return {found->second, a.group_ends[found->second]};
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

audit_ptr audit_begin(const audit_request &request) {
    audit_ptr a(new audit_state);
    a->request = request;
    a->request.earlier = nullptr;
    a->wanted = request.ids;
    std::sort(a->wanted.begin(), a->wanted.end());
    if (RAND_bytes(a->key.data, keyed_size) != 1) {
        std::fputs("Cannot draw random bytes.\n", stderr);
        return nullptr;
    }
    return a;
}

bool audit_add_entry(audit_state &a, const entry &e) {
    auto at = static_cast<std::uint32_t>(a.ids.size());
    a.ids.push_back(e.id);
    a.titles += text_or_empty(e.title);
    a.title_ends.push_back(a.titles.size());
    const char *password = text_or_empty(e.password);
    bool has = *password != '\0';
    if (has) {
        a.digests.emplace_back();
        a.digests.back().entry = at;
        if (!keyed_digest(a, password, a.digests.back().digest)) return false;
    }
    if (!wanted(a, e.id)) return true;

    auto k = static_cast<std::uint32_t>(a.checked.size());
    audit_state::outcome c{at, 0, 0};
    if (has) {
        strength st = estimate_strength(password, entry_words(e));
        if (st.guesses_log10 < weak_below_log10) {
            c.flags |= is_weak;
            auto number = a.pattern_numbers.emplace(
                st.patterns, static_cast<std::uint32_t>(a.pattern_texts.size()));
            if (number.second) a.pattern_texts.push_back(st.patterns);
            a.weak.push_back({k, number.first->second, st.guesses_log10});
        }
    } else if (*text_or_empty(e.user) != '\0' || *text_or_empty(e.url) != '\0') {
        // Only a login lacks its password: a note, or a card or identity
        // with no number, has none by nature.
        c.flags |= is_empty;
    }
    auto changed = stored_time(e.timestamp);
    long seconds_old = changed ? static_cast<long>(std::difftime(a.request.now, *changed)) : 0;
    if (!changed || seconds_old > a.request.older_than_days * 86400L) {
        c.flags |= is_old;
        if (changed) c.days = static_cast<std::int32_t>(seconds_old / 86400);
        else c.flags |= time_unreadable;
    }
    if (has && a.request.pwned != nullptr) {
        audit_state::sha1_of s;
        s.checked = k;
        unsigned int length = 0;
        bool ok = EVP_Digest(password, std::strlen(password), s.digest, &length, EVP_sha1(),
                             nullptr) == 1;
        if (!ok) std::fputs("Cannot compute a SHA-1 digest.\n", stderr);
        // An id that names no entry is said before any look-up fails, so
        // with ids the look-ups wait for the end; without, none can be
        // missing and each is made at once, with nothing kept.
        else if (!a.request.ids.empty()) a.to_look_up.push_back(s);
        else ok = look_up(a, s);
        wipe(s.digest, sizeof s.digest);
        if (!ok) return false;
    }
    a.checked.push_back(c);
    return true;
}

// One step of reuses_earlier_password, for a record read one password at
// a time.
bool audit_add_earlier(audit_state &a, std::int64_t id, std::string_view password) {
    if (a.digests_sorted) return true;
    if (!a.earlier_started || id != a.earlier_id) {
        a.earlier_started = true;
        a.earlier_id = id;
        a.earlier_current = nullptr;
        a.earlier_different.clear();
        std::size_t entry = entry_at(a, id);
        if (entry == SIZE_MAX || !wanted(a, static_cast<int>(id))) return true;
        auto keyed = std::lower_bound(
            a.digests.begin(), a.digests.end(), entry,
            [](const audit_state::keyed &k, std::size_t e) { return k.entry < e; });
        if (keyed == a.digests.end() || keyed->entry != entry) return true;  // no password
        a.earlier_current = keyed->digest;
        a.earlier_skipping = true;
        // The checked entries are in entry order too.
        auto c = std::lower_bound(
            a.checked.begin(), a.checked.end(), entry,
            [](const audit_state::outcome &k, std::size_t e) { return k.entry < e; });
        a.earlier_checked = static_cast<std::size_t>(c - a.checked.begin());
    }
    if (a.earlier_current == nullptr) return true;
    constexpr std::size_t looked_at = 5;
    std::array<unsigned char, keyed_size> digest;
    if (!keyed_digest(a, password, digest.data())) return false;
    bool current = std::memcmp(digest.data(), a.earlier_current, keyed_size) == 0;
    if (!(a.earlier_skipping && current)) {  // else not changed since
        a.earlier_skipping = false;
        auto &different = a.earlier_different;
        bool counted = std::find(different.begin(), different.end(), digest) != different.end();
        if (!counted && different.size() < looked_at) {
            different.push_back(digest);
            counted = true;
        }
        if (current && counted) a.checked[a.earlier_checked].flags |= reuses_earlier;
    }
    wipe(digest.data(), digest.size());
    return true;
}

std::optional<audit_report> audit_finish(audit_state &a) {
    for (int id : a.request.ids)
        if (entry_at(a, id) == SIZE_MAX) {
            std::fprintf(stderr, "Entry %d not found.\n", id);
            return std::nullopt;
        }
    if (a.request.pwned != nullptr) {
        for (const auto &s : a.to_look_up)
            if (!look_up(a, s)) return std::nullopt;
        decltype(a.to_look_up)().swap(a.to_look_up);
        if (!a.request.pwned->range_files_complete()) return std::nullopt;
    }
    find_reuse(a);

    audit_report report;
    report.checked = a.checked.size();
    report.weak = a.weak.size();
    report.breached = a.breached.size();
    std::vector<std::uint32_t> shared;  // the groups of those reported
    for (const auto &c : a.checked) {
        if (c.flags & is_empty) ++report.empty;
        if (c.flags & is_old) ++report.old;
        auto g = group(a, c.entry);
        if (g.first != g.second) shared.push_back(g.first);
        if (g.first != g.second || (c.flags & reuses_earlier)) ++report.reusing;
    }
    std::sort(shared.begin(), shared.end());
    report.reused_passwords =
        static_cast<std::size_t>(std::unique(shared.begin(), shared.end()) - shared.begin());
    return report;
}

std::vector<finding> audit_findings(const audit_state &a, std::size_t k) {
    const audit_state::outcome &c = a.checked[k];
    std::vector<finding> out;
    auto add = [&](finding_kind kind, std::string reason) -> finding & {
        finding f;
        f.id = a.ids[c.entry];
        f.title = title_of(a, c.entry);
        f.kind = kind;
        f.reason = std::move(reason);
        out.push_back(std::move(f));
        return out.back();
    };
    if (c.flags & is_weak) {
        auto note = std::lower_bound(
            a.weak.begin(), a.weak.end(), k,
            [](const audit_state::weak_note &w, std::size_t want) { return w.checked < want; });
        strength st{note->guesses_log10, a.pattern_texts[note->patterns]};
        add(finding_kind::weak, weak_reason(st)).guesses_log10 =
            std::round(st.guesses_log10 * 10) / 10;
    }
    if (c.flags & is_empty) add(finding_kind::empty, "no password");
    auto g = group(a, c.entry);
    if (g.first != g.second) {
        std::string reason = "the same password as ";
        std::vector<int> others;
        for (std::uint32_t i = g.first; i < g.second; ++i) {
            std::uint32_t other = a.members[i];
            if (other == c.entry) continue;
            if (!others.empty()) reason += ", ";
            others.push_back(a.ids[other]);
            reason += number(a.ids[other]) + " (";
            reason += title_of(a, other);
            reason += ")";
        }
        add(finding_kind::reused, reason).others = std::move(others);
    }
    if (c.flags & reuses_earlier) add(finding_kind::reused, "an earlier password of this entry");
    if (c.flags & is_old) {
        std::optional<long> days;
        if (!(c.flags & time_unreadable)) days = c.days;
        add(finding_kind::old, days ? "not changed for " + number(*days) + " days"
                                    : "no readable modification time")
            .days = days;
    }
    auto found = std::lower_bound(a.breached.begin(), a.breached.end(),
                                  std::make_pair(static_cast<std::uint32_t>(k), std::uint64_t{0}));
    if (found != a.breached.end() && found->first == k) {
        std::uint64_t count = found->second;
        add(finding_kind::breached, "in the Pwned Passwords list, seen " +
                                        number(static_cast<long long>(count)) +
                                        (count == 1 ? " time" : " times"))
            .count = count;
    }
    return out;
}

std::optional<audit_report> audit_entries(const entry *first, const audit_request &request) {
    audit_ptr a = audit_begin(request);
    if (!a) return std::nullopt;
    for (const entry *e = first; e != nullptr; e = e->next)
        if (!audit_add_entry(*a, *e)) return std::nullopt;
    if (request.earlier != nullptr)
        for (const auto &[id, passwords] : *request.earlier)
            for (const secret_string &p : passwords)
                if (!audit_add_earlier(*a, id, p.view())) return std::nullopt;
    auto report = audit_finish(*a);
    if (!report) return std::nullopt;
    for (std::size_t k = 0; k < report->checked; ++k)
        for (finding &f : audit_findings(*a, k)) report->findings.push_back(std::move(f));
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
