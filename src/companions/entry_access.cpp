#include "companions/entry_access.h"

#include <cstdio>
#include <string_view>

#include "cli/session.h"
#include "store/db.h"

std::optional<int> parse_entry_id(const char *text) {
    std::string_view digits(text);
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    int id = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        id = id * 10 + (c - '0');
    }
    if (id == 0) return std::nullopt;
    return id;
}

entry_ptr read_entry(int id) {
    entry_ptr e;
    {
        auto s = begin_session(lock_kind::shared);
        if (!s) return nullptr;
        // Not fetch_entry: it reports a missing entry on standard output,
        // where kesp-otp prints its code.
        e.reset(db_get_entry(s->path(), id));
    }
    if (e && e->id == -1) {
        std::fprintf(stderr, "Entry %d not found.\n", id);
        e.reset();
    }
    return e;
}
