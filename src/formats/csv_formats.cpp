// The CSV formats: rows read with libcsv in strict mode, columns found by
// their header names, each format described by one table of columns.
#include <csv.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/internal.h"
#include "memory/c_heap.h"
#include "formats/times.h"

namespace {

enum class role {
    title,
    user,
    url,
    urls,           // several URLs joined by commas: the first is the URL
    password,
    notes,
    kind,           // Bitwarden's "login" or "note"; anything else is skipped
    totp,
    folder,         // "<label>: value"
    group_path,     // a KeePass group path below the root group
    fields,         // "name: value" lines, taken over as they are
    flag,           // "<label>: value" unless empty, 0 or false
    line,           // "<label>: value" unless empty
    modified_iso,
    modified_ms,
    modified_local,
    ignored,        // identifiers and bookkeeping times of the source
};

struct column {
    const char *name;
    role what;
    bool required;
    const char *label = nullptr;  // for folder lines; the header's own name otherwise
};

struct layout {
    transfer_format format;
    std::vector<column> columns;
};

const std::vector<layout> &layouts() {
    static const std::vector<layout> table = {
        {transfer_format::keepassxc_csv,
         {{"Group", role::group_path, true, "Group"}, {"Title", role::title, true},
          {"Username", role::user, true}, {"Password", role::password, true},
          {"URL", role::url, true}, {"Notes", role::notes, true}, {"TOTP", role::totp, false},
          {"Icon", role::ignored, false}, {"Last Modified", role::modified_iso, false},
          {"Created", role::ignored, false}}},
        {transfer_format::bitwarden_csv,
         {{"folder", role::folder, true, "Folder"}, {"favorite", role::flag, true},
          {"type", role::kind, true}, {"name", role::title, true}, {"notes", role::notes, true},
          {"fields", role::fields, true}, {"reprompt", role::flag, false},
          {"login_uri", role::urls, true}, {"login_username", role::user, true},
          {"login_password", role::password, true}, {"login_totp", role::totp, true}}},
        {transfer_format::chrome_csv,
         {{"name", role::title, true}, {"url", role::url, true}, {"username", role::user, true},
          {"password", role::password, true}, {"note", role::notes, false}}},
        {transfer_format::firefox_csv,
         {{"url", role::url, true}, {"username", role::user, true}, {"password", role::password, true},
          {"httpRealm", role::line, true}, {"formActionOrigin", role::line, true},
          {"guid", role::ignored, true}, {"timeCreated", role::ignored, true},
          {"timeLastUsed", role::ignored, true}, {"timePasswordChanged", role::modified_ms, true}}},
        {transfer_format::lastpass_csv,
         {{"url", role::url, true}, {"username", role::user, true}, {"password", role::password, true},
          {"totp", role::totp, false}, {"extra", role::notes, true}, {"name", role::title, true},
          {"grouping", role::folder, true, "Group"}, {"fav", role::flag, true}}},
        {transfer_format::onepassword_csv,
         {{"Title", role::title, true}, {"Url", role::url, true}, {"Username", role::user, true},
          {"Password", role::password, true}, {"OTPAuth", role::totp, true},
          {"Favorite", role::flag, true}, {"Archived", role::flag, true}, {"Tags", role::line, true},
          {"Notes", role::notes, true}}},
        {transfer_format::kesp_csv,
         {{"title", role::title, true}, {"username", role::user, true}, {"url", role::url, true},
          {"password", role::password, true}, {"notes", role::notes, true},
          {"modified", role::modified_local, true}}},
    };
    return table;
}

const layout *layout_of(transfer_format format) {
    for (const auto &l : layouts())
        if (l.format == format) return &l;
    return nullptr;
}

struct csv_row {
    std::vector<secret_string> fields;
    std::size_t line;  // where the row starts
};

// State of one parse, handed to libcsv's callbacks.
struct csv_state {
    std::vector<csv_row> rows;
    csv_row current;
    bool open = false;          // a row has begun and not ended
    bool ended_last = false;    // the last event of this chunk ended a row
    std::size_t line = 1;       // line being fed
    std::size_t start = 1;      // line where the next row would start
    std::size_t width = 0;      // fields of the header row
    std::string error;
};

void begin_row(csv_state &s) {
    if (s.open) return;
    s.open = true;
    s.current.line = s.start;
}

void on_field(void *data, std::size_t size, void *context) {
    auto &s = *static_cast<csv_state *>(context);
    begin_row(s);
    s.ended_last = false;
    s.current.fields.emplace_back(std::string_view(static_cast<const char *>(data), size));
}

// Exports leave out trailing optional fields, so a row may be shorter than
// the header; a longer one has a field that belongs to no column.
void on_row_end(int, void *context) {
    auto &s = *static_cast<csv_state *>(context);
    begin_row(s);
    s.ended_last = true;
    s.open = false;
    s.start = s.line;
    if (s.rows.empty()) s.width = s.current.fields.size();
    if (s.error.empty() && s.current.fields.size() > s.width)
        s.error = "line " + std::to_string(s.current.line) + ": a row of " +
                  std::to_string(s.current.fields.size()) + " fields where the header has " +
                  std::to_string(s.width);
    s.rows.push_back(std::move(s.current));
    s.current = {};
}

// Spaces are part of a field: a password may end in one.
int no_spaces(unsigned char) { return 0; }

struct parser_releaser {
    void operator()(csv_parser *p) const { csv_free(p); }
};

// libcsv grows its field buffer by a fixed block, and every growth moves
// the field (the wiping heap cannot grow a block in place): with a block as
// large as the buffer already is, and as the chunk about to be fed, a field
// of n bytes costs O(n), not O(n^2).
void grow_geometrically(csv_parser &parser, std::size_t chunk) {
    csv_set_blk_size(&parser, std::max({std::size_t(128), csv_get_buffer_size(&parser), chunk}));
}

// Rows of `text`, fed line by line so that every row and every error knows
// its line. False with s.error set on damage.
bool read_rows(std::string_view text, csv_state &s) {
    csv_parser parser;
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI) != 0) out_of_memory();
    std::unique_ptr<csv_parser, parser_releaser> guard(&parser);
    csv_set_space_func(&parser, no_spaces);
    csv_set_realloc_func(&parser, wiping_realloc);
    csv_set_free_func(&parser, wiping_free);

    for (std::size_t at = 0; at < text.size() && s.error.empty(); ++s.line) {
        std::size_t end = text.find('\n', at);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view chunk = text.substr(at, end - at);
        bool blank = chunk.find_first_not_of("\r\n") == std::string_view::npos;
        if (!s.open) s.start = s.line;
        s.ended_last = false;
        grow_geometrically(parser, chunk.size());
        if (csv_parse(&parser, chunk.data(), chunk.size(), on_field, on_row_end, &s) != chunk.size()) {
            s.error = "line " + std::to_string(s.line) + ": " +
                      (csv_error(&parser) == CSV_EPARSE ? "a quote out of place"
                                                        : csv_strerror(csv_error(&parser)));
            return false;
        }
        // Inside a quoted field no event comes until it closes.
        if (!blank && !s.ended_last) begin_row(s);
        at = end;
    }
    if (!s.error.empty()) return false;
    --s.line;
    if (csv_fini(&parser, on_field, on_row_end, &s) != 0) {
        s.error = "line " + std::to_string(s.open ? s.current.line : s.line) +
                  ": a quoted field that never ends";
        return false;
    }
    return s.error.empty();
}

// Index of every column of the layout in the header, or -1.
struct column_map {
    const layout *l;
    std::vector<int> index;           // per layout column
    std::vector<bool> known;          // per header column
};

column_map map_columns(const layout &l, const std::vector<std::string> &header) {
    column_map m{&l, std::vector<int>(l.columns.size(), -1), std::vector<bool>(header.size(), false)};
    for (std::size_t c = 0; c < l.columns.size(); ++c)
        for (std::size_t h = 0; h < header.size(); ++h)
            if (header[h] == lower(l.columns[c].name)) {
                m.index[c] = static_cast<int>(h);
                m.known[h] = true;
            }
    return m;
}

bool has_required(const column_map &m) {
    for (std::size_t c = 0; c < m.l->columns.size(); ++c)
        if (m.l->columns[c].required && m.index[c] < 0) return false;
    return true;
}

bool flag_set(std::string_view value) {
    std::string v = lower(value);
    return !(v.empty() || v == "0" || v == "false" || v == "no");
}

// Field `index` of `row`; empty for a column the row stops short of.
std::string_view field_at(const csv_row &row, std::size_t index) {
    return index < row.fields.size() ? row.fields[index].view() : std::string_view();
}

// One row on its way to a record.
struct row_record {
    transfer_record r;
    notes_builder notes;
    std::string_view source_notes, totp;
};

// Several URLs joined by commas: the first is the URL, the others lines.
void take_urls(std::string_view value, row_record &row) {
    bool first = true;
    for (std::size_t at = 0; at <= value.size() && !value.empty();) {
        std::size_t comma = std::min(value.find(',', at), value.size());
        std::string_view one = value.substr(at, comma - at);
        if (first) row.r.url.assign(one);
        else if (!one.empty()) row.notes.add(notes_builder::url, "URL", one);
        first = false;
        at = comma + 1;
    }
}

// The first part of a KeePassXC group path names the root group, which is
// the database itself.
void take_group_path(const column &col, std::string_view value, row_record &row) {
    std::size_t slash = value.find('/');
    if (slash != std::string_view::npos && slash + 1 < value.size())
        row.notes.add(notes_builder::folder, col.label, value.substr(slash + 1));
}

// Takes `value` of the column `col`, headed `name` in the file. False when
// the row is an item that is not imported (counted in `result`).
bool take_field(const column &col, std::string_view name, std::string_view value, row_record &row,
                parse_result &result) {
    transfer_record &r = row.r;
    switch (col.what) {
    case role::title: r.title.assign(value); break;
    case role::user: r.user.assign(value); break;
    case role::url: r.url.assign(value); break;
    case role::password: r.password.assign(value); break;
    case role::notes: row.source_notes = value; break;
    case role::totp: row.totp = value; break;
    case role::urls: take_urls(value, row); break;
    case role::kind:
        // A note is an entry whose notes say everything.
        if (lower(value) != "login" && lower(value) != "note") {
            skip_bitwarden_type(result, value);
            return false;
        }
        break;
    case role::folder:
        if (!value.empty()) row.notes.add(notes_builder::folder, col.label, value);
        break;
    case role::group_path: take_group_path(col, value, row); break;
    case role::fields: row.notes.add_line(notes_builder::field, value); break;
    case role::flag:
        if (flag_set(value)) row.notes.add(notes_builder::other, name, value);
        break;
    case role::line:
        if (!value.empty()) row.notes.add(notes_builder::other, name, value);
        break;
    case role::modified_iso: take_time(local_from_iso8601(value), name, value, r, row.notes); break;
    case role::modified_ms: take_time(local_from_epoch_ms(value), name, value, r, row.notes); break;
    case role::modified_local:
        take_time(is_local_time(value) ? std::optional<std::string>(value) : std::nullopt, name,
                  value, r, row.notes);
        break;
    case role::ignored: break;
    }
    return true;
}

// The record of one row. False when the records grew too large.
bool map_row(const column_map &m, const std::vector<std::string_view> &names, const csv_row &row,
             parse_result &result) {
    row_record taken;
    const auto &cols = m.l->columns;
    for (std::size_t c = 0; c < cols.size(); ++c) {
        if (m.index[c] < 0) continue;
        auto h = static_cast<std::size_t>(m.index[c]);
        if (!take_field(cols[c], names[h], field_at(row, h), taken, result)) return true;
    }
    // Columns this layout does not know are kept too.
    for (std::size_t h = 0; h < names.size(); ++h)
        if (!m.known[h] && !field_at(row, h).empty())
            taken.notes.add(notes_builder::other, names[h], field_at(row, h));

    transfer_record &r = taken.r;
    // A LastPass secure note stands in the file as a login with this URL.
    if (m.l->format == transfer_format::lastpass_csv && r.url.view() == "http://sn") r.url.clear();
    if (m.l->format == transfer_format::firefox_csv && r.title.empty())
        r.title.assign(url_host(r.url.view()));
    taken.notes.add_totp(taken.totp, r.title.view());
    r.notes = taken.notes.finish(taken.source_notes);
    return add_record(result, std::move(r));
}

// The header's names in lower case, and as written; false (with
// result.error set) when a name appears twice.
bool read_header(const csv_row &head, std::vector<std::string> &header,
                 std::vector<std::string_view> &names, parse_result &result) {
    for (const auto &f : head.fields) {
        std::string name = lower(f.view());
        if (std::find(header.begin(), header.end(), name) != header.end()) {
            result.error = "line " + std::to_string(head.line) + ": the column \"" +
                           printable(f.view()) + "\" appears twice";
            return false;
        }
        header.push_back(name);
        names.push_back(f.view());
    }
    return true;
}

// The columns of the forced format, or of the layout that explains most
// columns (a tie is no recognition). Nothing, with result.error set (or
// empty for an unrecognised header), otherwise.
std::optional<column_map> choose_layout(const std::vector<std::string> &header, std::size_t line,
                                        std::optional<transfer_format> format,
                                        parse_result &result) {
    if (format) {
        const layout *l = layout_of(*format);
        if (l == nullptr) {
            result.error = std::string(format_name(*format)) + " is not a CSV format";
            return std::nullopt;
        }
        column_map m = map_columns(*l, header);
        for (std::size_t c = 0; c < l->columns.size(); ++c)
            if (l->columns[c].required && m.index[c] < 0) {
                result.error = "line " + std::to_string(line) + ": no column \"" +
                               l->columns[c].name + "\" in the header";
                return std::nullopt;
            }
        return m;
    }
    std::optional<column_map> chosen;
    long best = -1;
    bool tie = false;
    for (const auto &l : layouts()) {
        column_map m = map_columns(l, header);
        if (!has_required(m)) continue;
        long covered = std::count(m.known.begin(), m.known.end(), true);
        if (covered > best) best = covered, chosen = m, tie = false;
        else if (covered == best) tie = true;
    }
    if (tie) return std::nullopt;
    return chosen;
}

}  // namespace

void parse_csv(std::string_view text, std::optional<transfer_format> format, parse_result &result) {
    csv_state s;
    if (!read_rows(text, s)) {
        result.error = s.error;
        return;
    }
    if (s.rows.empty()) {
        result.error = format ? "no header row" : "";
        return;
    }
    std::vector<std::string> header;
    std::vector<std::string_view> names;  // as written
    if (!read_header(s.rows.front(), header, names, result)) return;
    std::optional<column_map> chosen = choose_layout(header, s.rows.front().line, format, result);
    if (!chosen) return;
    result.format = chosen->l->format;
    for (std::size_t i = 1; i < s.rows.size(); ++i)
        if (!map_row(*chosen, names, s.rows[i], result)) return;
    result.ok = true;
}

std::string write_kesp_csv(const std::vector<transfer_record> &records, secret_string &out) {
    auto field = [&out](std::string_view text, bool last) {
        std::size_t size = csv_write(nullptr, 0, text.data(), text.size());
        wiped_buffer quoted(size);
        csv_write(quoted.data(), size, text.data(), text.size());
        out.append({reinterpret_cast<const char *>(quoted.data()), size});
        out += last ? "\r\n" : ",";
    };
    const layout *l = layout_of(transfer_format::kesp_csv);
    for (std::size_t c = 0; c < l->columns.size(); ++c) field(l->columns[c].name, c + 1 == l->columns.size());
    for (const auto &r : records) {
        field(r.title, false);
        field(r.user, false);
        field(r.url, false);
        field(r.password, false);
        field(r.notes, false);
        field(r.modified, true);
    }
    return "";
}
