#include "vault/record.h"

#include <cstdio>
#include <string>

#include "vault/session.h"

std::optional<std::int64_t> restore_version(std::string_view handle, int n, unsigned fields) {
    auto s = begin_session(lock_kind::exclusive);
    if (!s) return std::nullopt;
    bool failed = false;
    auto owner = history_find_owner(s->path(), handle, failed);
    if (failed) return std::nullopt;
    // A removed entry has no texts of its own to keep beside the ones
    // taken back.
    if (owner && owner->gone != 0 && fields != history_all_fields) {
        std::fprintf(stderr, "Entry %.*s was removed; it comes back whole, without --only.\n",
                     static_cast<int>(handle.size()), handle.data());
        return std::nullopt;
    }
    std::int64_t id = 0;
    int done = owner ? history_restore(s->path(), *owner, n, id, fields) : 0;
    if (done < 0) return std::nullopt;
    if (done == 0) {
        std::fprintf(stderr, "No version %.*s.%d is kept.\n", static_cast<int>(handle.size()),
                     handle.data(), n);
        return std::int64_t{0};
    }
    return id;
}

std::optional<std::size_t> forget_versions(std::string_view handle) {
    auto s = begin_session(lock_kind::exclusive);
    if (!s) return std::nullopt;
    if (handle.empty()) return history_forget(s->path(), nullptr);
    bool failed = false;
    auto owner = history_find_owner(s->path(), handle, failed);
    if (failed) return std::nullopt;
    if (!owner) return std::size_t{0};
    return history_forget(s->path(), &*owner);
}

std::optional<undone_import> undo_import() {
    auto s = begin_session(lock_kind::exclusive);
    if (!s) return std::nullopt;
    return history_undo_import(s->path());
}
