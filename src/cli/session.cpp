#include "cli/session.h"

#include <cstdio>

#include "cli/commands.h"
#include "state/process.h"
#include "store/db.h"

std::optional<session> begin_session(lock_kind kind) {
    auto lock = take_user_lock(kind);
    if (!lock) return std::nullopt;
    auto db = resolve_active_db();
    if (!db) return std::nullopt;
    return session{std::move(*lock), std::move(*db)};
}

std::optional<user_lock> lock_unchanged(const active_db &before) {
    test_stop_point("before-lock");
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock || !still_active(before)) return std::nullopt;
    test_stop_point("locked");
    return lock;
}

entry_ptr fetch_entry(const char *path, int id, const char *missing) {
    entry_ptr e(db_get_entry(path, id));
    if (e && e->id == -1) {
        std::printf(missing, id);
        e.reset();
    }
    return e;
}

void run_auto_encrypt_step() {
    std::fputs("Auto encrypt enabled, type password to encrypt.\n", stdout);
    cmd_encrypt();
}
