#include "companions/entry_access.h"

#include <malloc.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cli/session.h"
#include "memory/secret.h"
#include "store/db.h"

namespace {

// SQLite's heap, wiped on release: a freed page that held the password
// would otherwise live on in this process and, through fork, in the
// clearer. SQLite needs NULL back on failure, so plain malloc here.
void *store_malloc(int size) { return std::malloc(static_cast<std::size_t>(size)); }
void store_free(void *block) {
    if (block == nullptr) return;
    wipe(block, ::malloc_usable_size(block));
    std::free(block);
}
void *store_realloc(void *block, int size) {
    void *moved = std::malloc(static_cast<std::size_t>(size));
    if (moved == nullptr) return nullptr;
    if (block != nullptr)
        std::memcpy(moved, block, std::min(::malloc_usable_size(block), static_cast<std::size_t>(size)));
    store_free(block);
    return moved;
}
int store_size(void *block) { return static_cast<int>(::malloc_usable_size(block)); }
int store_roundup(int size) { return (size + 7) & ~7; }
int store_init(void *) { return SQLITE_OK; }
void store_shutdown(void *) {}

// Before SQLite's first use in the process, or it has no effect.
void wipe_store_heap() {
    static const sqlite3_mem_methods methods{store_malloc,  store_free, store_realloc, store_size,
                                             store_roundup, store_init, store_shutdown, nullptr};
    sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
}

}  // namespace

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
    wipe_store_heap();
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
