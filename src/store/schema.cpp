#include "store/schema.h"

#include <cstdio>
#include <string>

#include <sqlite3.h>

#include "store/sqlite_handles.h"

namespace {

std::string_view column(sqlite3_stmt *s, int i) {
    const unsigned char *text = sqlite3_column_text(s, i);
    if (text == nullptr) return {};
    return {reinterpret_cast<const char *>(text),
            static_cast<std::size_t>(sqlite3_column_bytes(s, i))};
}

// The same statement but for blanks and the case of ASCII letters, which
// mean nothing to SQLite here: the entries table made by hand, or by an
// earlier tool, with other spacing is kesp's table all the same.
bool same_but_spacing(std::string_view a, std::string_view b) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::size_t i = 0, j = 0;
    for (;;) {
        while (i < a.size() && blank(a[i])) ++i;
        while (j < b.size() && blank(b[j])) ++j;
        if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
        if (lower(a[i++]) != lower(b[j++])) return false;
    }
}

bool kesps(std::string_view type, std::string_view name, std::string_view sql) {
    for (const schema_object &object : kesp_schema_objects) {
        if (object.type != type || object.name != name) continue;
        // kesp writes its record itself, always in the same words.
        if (object.sql == sql || (name == "entries" && same_but_spacing(object.sql, sql)))
            return true;
    }
    return false;
}

}  // namespace

std::string printable_name(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            out += c;
            continue;
        }
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}

bool schema_is_kesps(sqlite3 *db, const char *name) {
    // Tables first: a table of another shape says more than the index or
    // trigger that comes with it.
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db,
                           "select type, name, sql from sqlite_schema "
                           "order by type<>'table', rowid;",
                           -1, &raw, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "Error: %s\n", sqlite3_errmsg(db));
        return false;
    }
    statement rows(raw);
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const std::string_view type = column(rows.get(), 0);
        const std::string_view object = column(rows.get(), 1);
        if (sqlite3_column_type(rows.get(), 2) != SQLITE_NULL &&
            kesps(type, object, column(rows.get(), 2)))
            continue;
        if (type == "table" && object == "history") {
            std::fprintf(stderr, "%s is not a kesp database: %s.\n", name, foreign_history_reason);
        } else {
            std::fprintf(stderr, "%s is not a kesp database: its %s %s is not kesp's.\n", name,
                         printable_name(type).c_str(), printable_name(object).c_str());
        }
        return false;
    }
    if (rc == SQLITE_DONE) return true;
    std::fprintf(stderr, "Error: %s\n", sqlite3_errmsg(db));
    return false;
}
