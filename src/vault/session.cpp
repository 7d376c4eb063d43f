#include "vault/session.h"

#include <cstdio>
#include <cstring>

#include "memory/secret.h"
#include "state/test_hooks.h"
#include "state/pointer_file.h"
#include "store/db.h"
#include "vault/agent_link.h"
#include "vault/late_change.h"

std::optional<session> begin_session(lock_kind kind) {
    auto lock = take_user_lock(kind);
    if (!lock) return std::nullopt;
    auto db = resolve_active_db();
    if (!db) return std::nullopt;
    return session{std::move(*lock), std::move(*db)};
}

std::optional<user_lock> lock_unchanged(const active_db &before, const char *during) {
    test_stop_point("before-lock");
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock || !still_active(before, during)) return std::nullopt;
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

entry_ptr fetch_entry(const db_handle &db, int id, const char *missing) {
    return fetch_entry(db.name(), id, missing);
}

entry_ptr read_entry(int id) {
    entry_ptr e;
    {
        auto s = begin_session(lock_kind::shared);
        if (!s) return nullptr;
        e.reset(db_get_entry(s->path(), id));
    }
    if (e && e->id == -1) {
        std::fprintf(stderr, "Entry %d not found.\n", id);
        e.reset();
    }
    return e;
}

namespace {

bool same_entry(const entry &a, const entry &b) {
    auto same = [](const char *x, const char *y) {
        return std::strcmp(text_or_empty(x), text_or_empty(y)) == 0;
    };
    return a.id == b.id && same(a.title, b.title) && same(a.user, b.user) &&
           same(a.url, b.url) && same(a.password, b.password) && same(a.notes, b.notes) &&
           same(a.timestamp, b.timestamp);
}

}  // namespace

bool entry_unchanged(const char *path, const entry &seen) {
    entry_ptr now(db_get_entry(path, seen.id));
    if (!now) return false;
    if (now->id == -1) {
        std::fprintf(stderr, "Entry %d was removed while you typed; nothing was changed.\n",
                     seen.id);
        return false;
    }
    if (!same_entry(*now, seen)) {
        std::fprintf(stderr, "Entry %d was changed while you typed; nothing was changed.\n",
                     seen.id);
        return false;
    }
    return true;
}

namespace {

// The lock alone for a change typed against `before` (step 4). `late` is
// set when `before` was an agent's copy that its agent let go of while the
// person typed: the change then goes where write_after_lock puts it.
std::optional<user_lock> lock_for_typed(const active_db &before, const char *during,
                                        bool &late) {
    late = false;
    test_stop_point("before-lock");
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return std::nullopt;
    if (agent_let_go(before)) {
        late = true;
        return lock;
    }
    if (!still_active(before, during)) {
        // An agent that ended just now: its copy was wiped (every change
        // was sealed), or kept for its unsealed changes, which the
        // change joins (said already, kesp -E writes them).
        if (agent_let_go(before)) {
            late = true;
            return lock;
        }
        auto now = read_active_db_path();
        if (!is_agent_copy(before.path) || !now || *now != before.path ||
            !holds_unsealed(before.path))
            return std::nullopt;
        allow_kept_copy();
    }
    test_stop_point("locked");
    return lock;
}

}  // namespace

late_outcome make_typed_work(const active_db &before, const typed_work &work,
                             const char *during) {
    bool late = false;
    auto lock = lock_for_typed(before, during, late);
    if (!lock) return late_outcome::refused;
    if (late) return write_after_lock(lock, before, work);
    return work.make(handle_of(before));
}

namespace {

late_outcome make_typed_change(const active_db &before, const typed_change &change) {
    return make_typed_work(before, typed_entry_work(change));
}

}  // namespace

bool add_entry(const active_db &before, const entry &e) {
    return make_typed_change(before, typed_change{nullptr, e}) == late_outcome::written;
}

update_outcome update_entry(const active_db &before, const entry &seen, const entry &changed) {
    switch (make_typed_change(before, typed_change{&seen, changed})) {
    case late_outcome::written: return update_outcome::written;
    case late_outcome::store_failed: return update_outcome::store_failed;
    case late_outcome::kept:
    case late_outcome::refused: break;
    }
    return update_outcome::refused;
}

bool copy_entry(int id, const char *missing) {
    auto s = begin_session(lock_kind::exclusive);
    if (!s) return false;
    entry_ptr e = fetch_entry(s->path(), id, missing);
    if (!e) return false;
    entry_ptr copy(entry_copy(e.get()));
    if (db_insert_entry(s->path(), copy.get())) return true;
    std::fputs("Failed to add a new entry.\n", stderr);
    return false;
}

std::optional<bool> remove_entry(int id) {
    auto s = begin_session(lock_kind::exclusive);
    if (!s) return std::nullopt;
    bool changed = false;
    if (!db_delete_entry(s->path(), id, &changed)) return std::nullopt;
    return changed;
}

bool replace_entry_password(const active_db &before, const entry &seen, const char *password) {
    entry_ptr changed(entry_copy(&seen));
    free_secret_text(changed->password);
    changed->password = xstrdup(password);
    return update_entry(before, seen, *changed) == update_outcome::written;
}

bool entry_unchanged(const db_handle &db, const entry &seen) {
    return entry_unchanged(db.name(), seen);
}
