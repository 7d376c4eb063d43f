// Pieces shared by the readers and writers of the formats module; not for
// use outside src/formats.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/formats.h"
#include "memory/secret.h"

// The notes of one record: the source's own notes, then the "Key: value"
// lines in four groups (folders before URLs before fields before the rest),
// then the TOTP URI on a line of its own.
class notes_builder {
public:
    enum group { folder, url, field, other };
    // "key: value"; "key:" for an empty value.
    void add(group g, std::string_view key, std::string_view value);
    // A value the source keeps hidden: "key (hidden): value", which
    // listings mask (store/entry.h); "key (hidden):" for an empty value.
    void add_hidden(group g, std::string_view key, std::string_view value);
    // A line (or lines) taken over as written.
    void add_line(group g, std::string_view line);
    // The otpauth URI of `value` (or of a bare base32 secret, labelled with
    // `title` and followed by `parameters`, "&digits=8" and the like); a
    // value that is neither goes among the other lines as "TOTP: value".
    void add_totp(std::string_view value, std::string_view title,
                  std::string_view parameters = {});
    // `notes` followed by the lines, each on a line of its own.
    secret_string finish(std::string_view notes) const;

private:
    secret_string lines_[4];
    secret_string totp_;
};

// "otpauth://..." as given, or the URI for a bare base32 secret (spaces
// dropped, letters made upper case) with `parameters` after the secret;
// empty when `value` is neither.
secret_string totp_uri(std::string_view value, std::string_view title,
                       std::string_view parameters = {});

// `value` percent-encoded for a URI: everything but letters, digits and
// "-._~".
void append_percent_encoded(secret_string &uri, std::string_view value);

// The modification time read from the column or member `name`: `local`
// when it could be read, else a notes line "name: value" (nothing at all
// for an empty value).
void take_time(std::optional<std::string> local, std::string_view name, std::string_view value,
               transfer_record &r, notes_builder &notes);

// Deeper nesting than this (JSON arrays and objects, XML elements) is
// refused: no export comes near it, and the readers walk the tree
// recursively.
inline constexpr std::size_t nesting_limit = 256;

// The texts of all records of one file may take this many times the
// file's size, or record_text_floor bytes where that is more. A real
// export gives less than its own size; a group path or folder name
// repeated in the notes of every entry can give far more.
inline constexpr std::size_t record_text_factor = 4;
inline constexpr std::size_t record_text_floor = std::size_t(64) << 20;

// Appends `r` to result.records, taking its texts from result.text_room;
// false, with result.error set, when they do not fit.
bool add_record(parse_result &result, transfer_record &&r);
// The same for a removed entry's versions, into result.removed.
bool add_removed(parse_result &result, transfer_removed &&r);

// A text of the file as a message may quote it: control characters
// (C0, DEL and C1) replaced by '?', so that no file can send the terminal
// an escape sequence.
std::string printable(std::string_view text);

// The host of a URL ("https://user@host:port/path" -> "host"); the whole
// text when it has no "scheme://".
std::string url_host(std::string_view url);

// 1-based line of byte `offset` in `text`.
std::size_t line_at(std::string_view text, std::size_t offset);

// Adds `count` items of `kind` to the skipped counts.
void count_skipped(parse_result &result, const std::string &kind, std::size_t count = 1);

// Counts a Bitwarden item of a type that is not imported, under
// "Bitwarden items of type <type>" for the first few types that are short
// and printable, under one kind for all others: a file cannot make the
// summary long or send the terminal its own text.
void skip_bitwarden_type(parse_result &result, std::string_view type);

// ASCII lower case.
std::string lower(std::string_view text);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool valid_utf8(std::string_view text);

// Readers; `format` is nullopt for recognition (CSV by header). On return
// result.ok tells, result.error says why not.
void parse_csv(std::string_view text, std::optional<transfer_format> format, parse_result &result);
void parse_json(std::string_view text, std::optional<transfer_format> format, parse_result &result);
void parse_keepass_xml(std::string_view text, parse_result &result);

// Writers; an empty error means success.
std::string write_kesp_csv(const std::vector<transfer_record> &records, secret_string &out);
std::string write_json(const std::vector<transfer_record> &records, transfer_format format,
                       const std::vector<transfer_removed> &removed, secret_string &out);
std::string write_keepass_xml(const std::vector<transfer_record> &records, secret_string &out);
