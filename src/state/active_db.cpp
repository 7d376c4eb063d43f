#include "state/active_db.h"

#include <cstdio>
#include <sys/stat.h>

#include "container/container.h"
#include "state/pointer_file.h"

namespace {

enum class db_state { none, ok, missing, encrypted };

// Where the pointer file leads now, without a word.
db_state probe(active_db &out) {
    auto path = read_active_db_path();
    if (!path) return db_state::none;
    out.path = *path;
    struct stat st;
    if (::stat(path->c_str(), &st) != 0) return db_state::missing;
    out.device = st.st_dev;
    out.inode = st.st_ino;
    // A file that cannot be read is left to the store to report.
    if (S_ISREG(st.st_mode) && container_magic_at(path->c_str()).value_or(false))
        return db_state::encrypted;
    return db_state::ok;
}

}  // namespace

std::optional<active_db> resolve_active_db() {
    active_db db;
    switch (probe(db)) {
    case db_state::ok:
        return db;
    case db_state::none:
        std::fputs("No decrypted database found.\n", stderr);
        break;
    case db_state::missing:
        std::fprintf(stderr, "The active database %s does not exist.\n", db.path.c_str());
        break;
    case db_state::encrypted:
        std::fprintf(stderr, "The active database %s is encrypted, not decrypted.\n",
                     db.path.c_str());
        break;
    }
    return std::nullopt;
}

bool still_active(const active_db &before) {
    active_db now;
    const char *old_path = before.path.c_str();
    const db_state state = probe(now);
    if (state == db_state::none) {
        std::fprintf(stderr, "%s was encrypted or closed while you typed; nothing was changed.\n",
                     old_path);
        return false;
    }
    if (now.path != before.path) {
        std::fprintf(stderr,
                     "The active database changed from %s to %s while you typed; nothing was "
                     "changed.\n",
                     old_path, now.path.c_str());
        return false;
    }
    if (now.device != before.device || now.inode != before.inode) {
        std::fprintf(stderr, "%s was replaced or removed while you typed; nothing was changed.\n",
                     old_path);
        return false;
    }
    if (state == db_state::encrypted) {
        std::fprintf(stderr, "%s was encrypted while you typed; nothing was changed.\n", old_path);
        return false;
    }
    return true;
}
