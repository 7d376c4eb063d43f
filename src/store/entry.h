// Entry record and entry list.
//
// An `entry` is one password entry. Its six texts are separate heap copies
// owned by the entry; an `entry list` is a chain linked through `next` whose
// first element is a sentinel head (five "dummy" texts, never printed). The
// holder of a list owns all of it and releases it with one entry_free on the
// head. A list holding only the head is an empty result; no list at all
// (nullptr) is a failure.
//
// Every allocation here either succeeds or ends the process with
// "Malloc failed. Abort.\n" on standard error, so callers never test for it.
#pragma once

#include <memory>
#include <string_view>

// A line of the notes that holds a secret which has no field of its own
// (a hidden field of an import) reads "<name> (hidden): <value>"; listings
// mask the value as they mask the password.
inline constexpr std::string_view hidden_value_marker = " (hidden): ";

struct entry {
    int id;           // row id; -1 in a db_get_entry result that found nothing
    char *title;
    char *user;
    char *url;
    char *password;   // in clear; wiped when the entry is released
    char *notes;
    char *timestamp;  // as the database stores it; nullptr for entries made in memory
    entry *next;
};

// New entry with copies of the five texts (all must be non-null);
// timestamp and next are nullptr, id is 0.
entry *entry_new(const char *title, const char *user, const char *url,
                 const char *password, const char *notes);

// Blank entry: no texts, no timestamp, next nullptr, id 0.
entry *entry_alloc();

// Makes an entry as entry_new does and links it after the last entry of the
// chain that starts at `list` (walking from `list`; pass the tail to append
// in constant time). Returns the new entry. With no list, the entry is
// returned linked to nothing.
entry *entry_append(entry *list, const char *title, const char *user, const char *url,
                    const char *password, const char *notes);

// New entry with copies of the five texts of `source`; no timestamp, no next.
entry *entry_copy(const entry *source);

// Releases `e` and every entry after it, iteratively (no recursion), wiping
// each text before it is freed. Does nothing for nullptr.
void entry_free(entry *e);

// `text`, or the empty text for a missing one (printf("%s", nullptr) is
// undefined): an entry made in memory has no timestamp, and rows written by
// other software may hold NULL.
inline const char *text_or_empty(const char *text) {
    return text != nullptr ? text : "";
}

// Owner of an entry or a whole list (held by its head), released with
// entry_free however the scope is left.
struct entry_releaser {
    void operator()(entry *e) const { entry_free(e); }
};
using entry_ptr = std::unique_ptr<entry, entry_releaser>;
