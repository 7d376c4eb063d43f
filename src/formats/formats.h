// Password export formats: reading other managers' exports into kesp's five
// texts and a modification time, and writing kesp's entries out again.
//
// Pure code: bytes in, records out (parse_transfer), and records in, bytes
// out (write_transfer); no file, database or terminal is touched. Records
// own their texts in secret_string, and every buffer that held a password
// (the input copy, the parsers' memory, the output) is wiped before it is
// released. Nothing here prints; failures come back as a text that names
// the line (or byte position) and what is wrong.
//
// Mapping into the five texts, the same for every format:
//   title, user, url, password from the source's own fields (the first URL;
//   a Firefox login, which has no name, is titled with its URL's host);
//   notes: the source's notes, then one "Key: value" line for every datum
//   without a column of its own (group or folder path, each further URL,
//   custom fields, card and identity fields, tags, set flags, unknown CSV
//   columns), and last a TOTP secret as an otpauth://totp/ URI on its own
//   line. Identifiers internal to the source (ids, GUIDs, UUIDs, icons) and
//   its creation and last-use times are not carried; items that cannot be
//   mapped at all (KeePass history copies, attachments, the entries of an
//   enabled KeePass Recycle Bin, Bitwarden kinds other than logins, notes,
//   cards and identities, passkeys) are counted per kind in `skipped`.
//   modified: the source's last-modification time as local time
//   "YYYY-MM-DD HH:MM:SS", or empty when it has none (the caller then uses
//   the time of the import). A time that cannot be read is kept as a notes
//   line instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memory/secret.h"
#include "store/entry.h"

enum class transfer_format {
    keepassxc_csv,
    keepass_xml,
    bitwarden_json,
    bitwarden_csv,
    chrome_csv,
    firefox_csv,
    lastpass_csv,
    onepassword_csv,
    kesp_csv,
    kesp_json,
};

// An earlier version of an entry (kesp-json only): its texts and time, and
// when and why it was replaced.
struct transfer_version {
    secret_string title, user, url, password, notes;
    std::string modified, replaced, why;
};

// One entry on its way in or out.
struct transfer_record {
    secret_string title, user, url, password, notes;
    std::string modified;  // local "YYYY-MM-DD HH:MM:SS"; empty: not known
    int id = 0;            // the entry's id on export, for messages
    std::vector<transfer_version> history;  // kesp-json: oldest first
};

// A removed entry's versions (kesp-json only), the removal last: what a
// person most needs back after a slip. `id` is the id it had, `handle` the
// name kesp-history gave it ("rK").
struct transfer_removed {
    std::int64_t id = 0;
    std::string handle;
    std::vector<transfer_version> history;  // oldest first
};

// Items of one kind that were read but could not become entries.
struct skipped_items {
    std::string kind;  // plural noun, e.g. "KeePass history entries"
    std::size_t count;
};

struct parse_result {
    bool ok = false;
    std::string error;  // when !ok: "line 4: unterminated quoted field"
    transfer_format format = transfer_format::kesp_csv;  // read or recognised
    std::vector<transfer_record> records;                // in file order
    std::vector<skipped_items> skipped;                  // in order of first appearance
    std::vector<transfer_removed> removed;               // kesp-json: removed entries
    // Bytes the five texts of further records may take (set by
    // parse_transfer from the input's size).
    std::size_t text_room = 0;
};

// The name used on the command line ("keepassxc-csv", ...).
const char *format_name(transfer_format format);
// The format of a name, exact and lower case; nothing for an unknown name.
std::optional<transfer_format> format_from_name(std::string_view name);
// True for the four formats write_transfer produces.
bool can_export(transfer_format format);
// Every name, or every export name, separated by ", ".
std::string format_names(bool export_only);

// Reads `bytes` as `format`, or recognises the format when none is given:
// after a UTF-8 byte-order mark, JSON with an "items" array (or an
// "encrypted" flag) is bitwarden-json, JSON with "format": "kesp" is
// kesp-json, XML whose root is KeePassFile is keepass-xml, and CSV is told
// by its header names, compared case-insensitively and in any order. Input
// that is not UTF-8, or holds a NUL byte, is refused; so is a NUL written
// as a character reference or escape, nesting deeper than 256 levels, and
// records whose texts would take more than four times the size of the
// input and over 64 MiB (a name repeated in every entry). Every value is
// kept whole: XML text split by comments or CDATA sections is joined, and
// JSON numbers keep their digits as written.
parse_result parse_transfer(std::string_view bytes, std::optional<transfer_format> format);

struct write_result {
    bool ok = false;
    std::string error;  // when !ok: "entry 7: the notes field is not UTF-8"
    secret_string bytes;
};

// The records in `format`, which must be one that can_export. Times are
// written as stored (kesp-csv, kesp-json) or as ISO 8601 UTC. A text that
// is not UTF-8 is refused, since no reader (this one included) takes it.
// `removed` goes into kesp-json only.
write_result write_transfer(const std::vector<transfer_record> &records, transfer_format format,
                            const std::vector<transfer_removed> &removed = {});

// Drops every record equal in all five texts to an entry of the list that
// starts at `existing` (its head included; pass head->next for a store list)
// or to an earlier record. Returns how many went.
std::size_t drop_duplicates(std::vector<transfer_record> &records, const entry *existing);

// What of a URL tells one site's logins from another's, as browsers tell
// them apart: the scheme and the host, both in ASCII lower case, and the
// port unless it is the scheme's own ("HTTPS://Example.COM.:443/a/" ->
// "https://example.com"). A user name and password before the host, the
// path, the query and the fragment do not count; a backslash ends the host
// as a slash does (browsers read it so). A text without a scheme keeps an
// empty one ("example.com" -> "://example.com"), so that it matches no
// URL that names its scheme; a text whose host is empty or holds blanks or
// control characters is its own site ("=" and the text, one trailing slash
// dropped), equal only to the same text.
std::string url_site(std::string_view url);

// An entry of the database that a record of the file stands for.
struct import_update {
    int id;              // the entry's
    std::size_t record;  // the record's index
};

// How the records of a file meet the entries of a database. A record and
// an entry stand for the same login when they have the same user name and
// the same url_site, or, where neither has a URL, the same title and user
// name. A record equal in all five texts to an entry or to an earlier
// record is a duplicate. Any other record that stands for an entry is one
// that `differs`; the entry stays as it is, unless `update` and the file
// says the record was changed after the entry: then the newest such record
// of that entry (the last of equal times) replaces it, while the others
// differ. An entry that shares its login with another entry of the database
// gets no update, since no one can tell which one the record means. A
// record that stands for no entry is added, even where other records of
// the file stand for the same login: the file may hold two accounts, and
// the next import of it finds each. With `update`, `undated` counts the
// records that differ and carry no time (Chrome's export has none).
struct import_plan {
    std::vector<std::size_t> added;      // indices of the records to add, in file order
    std::vector<import_update> updates;  // in file order
    std::size_t duplicates = 0, differing = 0, undated = 0;
};
import_plan plan_import(const std::vector<transfer_record> &records, const entry *existing,
                        bool update);

// The records as an entry list after a sentinel head (as the store hands
// out lists), each entry's timestamp its record's `modified`, or `fallback`
// where that is empty.
entry_ptr records_to_entries(const std::vector<transfer_record> &records, const std::string &fallback);

// An entry as a record (its timestamp as `modified`).
transfer_record record_from_entry(const entry &e);
