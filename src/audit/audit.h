// The audit of a database's passwords: what kesp-audit finds and how it
// says so. Works on entries already read (store/entry.h); opens nothing but
// the Pwned Passwords list it is given. No finding, line or summary holds
// a password, any part of one, or its hash.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit/pwned.h"
#include "store/entry.h"
#include "store/history.h"

// In the order an entry's findings are reported. `empty` is said only of
// an entry with a user name or a URL: one with neither (a note, a card)
// has no password by nature.
enum class finding_kind { weak, empty, reused, old, breached };

struct finding {
    int id = 0;
    std::string title;
    finding_kind kind = finding_kind::weak;
    std::string reason;          // in words, without the kind
    double guesses_log10 = 0;    // weak
    std::vector<int> others;     // reused: the other entries, by id
    std::optional<long> days;    // old: days since the last change (none: unreadable time)
    std::uint64_t count = 0;     // breached: how often the list has seen it
};

struct audit_request {
    std::vector<int> ids;            // the entries to report on; empty for all
    long older_than_days = 365;
    const pwned_list *pwned = nullptr;  // the breach check, when given
    // The passwords each entry had before, newest first (the record of
    // earlier versions), when the database keeps them.
    const earlier_passwords *earlier = nullptr;
    std::time_t now = 0;
};

struct audit_report {
    std::vector<finding> findings;  // by entry (ascending id), then by kind
    std::size_t checked = 0;
    std::size_t weak = 0, empty = 0, reusing = 0, reused_passwords = 0, old = 0, breached = 0;
};

// Audits the entries from `first` on (a list's head->next, ascending ids):
// reuse is looked for among all of them, findings are made for those
// `request` names. Nothing, after a message, when an id names no entry or a
// look-up in the list fails.
std::optional<audit_report> audit_entries(const entry *first, const audit_request &request);

// The same audit fed one entry at a time, for a database too large to hold:
// of each entry it keeps the id, the title (findings and reuse name it) and
// a keyed digest of the password (SHA-256 under a key drawn for the run, so
// that the digests say nothing outside this process), and of each entry it
// reports on what was found, compactly; no password. Memory that held a
// digest is wiped before it is given back. The steps, in this order:
//   audit_begin      with the request (its `earlier` is not read);
//   audit_add_entry  for every entry, in ascending id order;
//   audit_add_earlier for each earlier password of the entries (by entry id
//                    ascending, newest first), when the database keeps them;
//   audit_finish     the ids checked, the list looked up, the reuse found:
//                    the report's counts, without its findings;
//   audit_findings   the findings of each entry reported on, by position.
struct audit_state;
struct audit_state_releaser {
    void operator()(audit_state *state) const;
};
using audit_ptr = std::unique_ptr<audit_state, audit_state_releaser>;

audit_ptr audit_begin(const audit_request &request);
// False, after a message, when a digest cannot be computed.
bool audit_add_entry(audit_state &state, const entry &e);
// False, after a message, when a digest cannot be computed.
bool audit_add_earlier(audit_state &state, std::int64_t id, std::string_view password);
// Nothing, after a message, when an id names no entry or a look-up fails.
std::optional<audit_report> audit_finish(audit_state &state);
// The findings of the k-th entry reported on (k below the report's
// `checked`), in the order of their kinds.
std::vector<finding> audit_findings(const audit_state &state, std::size_t k);

// "7 mail: weak: <reason>\n". Control characters and bytes that are not
// UTF-8 in the title show as \xHH, so one finding stays one line.
std::string finding_line(const finding &f);

// True when `current` is one of the last five different passwords that
// `earlier` (newest first) holds before the current one's own run.
bool reuses_earlier_password(std::string_view current, const std::vector<secret_string> &earlier);

// One JSON object and a newline:
// {"id": 7, "title": "mail", "kind": "weak", "reason": "...", "guesses_log10": 3.6}
// with "others" for reused, "days" for old, "count" for breached.
std::string finding_json(const finding &f);

// "12 entries checked: 2 weak, 1 empty, 3 reusing 1 password, 4 older than
// 365 days, 1 breached.\n" ("breached" only after a breach check).
std::string summary_line(const audit_report &report, const audit_request &request);

const char *kind_name(finding_kind kind);

// Seconds since the epoch of a stored modification time ("YYYY-MM-DD
// HH:MM:SS", local time); nothing when it is not one.
std::optional<std::time_t> stored_time(const char *timestamp);
