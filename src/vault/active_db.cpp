#include "vault/active_db.h"

#include "store/db.h"

#include <cstdio>
#include <sys/stat.h>

#include "vault/agent_link.h"
#include "vault/late_change.h"
#include "vault/ssh_keys.h"
#include "vault/detect.h"
#include "state/pointer_file.h"

active_state probe_active_db(active_db &out) {
    // Keys in an ssh-agent from a database that no agent holds any more.
    remove_keys_of_ended_agents();
    auto path = read_active_db_path();
    if (!path) return active_state::none;
    out.path = *path;
    if (!note_agent_use(*path)) return active_state::ended;
    if (is_agent_copy(*path)) out.container = container_of_copy(*path);
    struct stat st;
    if (::stat(path->c_str(), &st) != 0) return active_state::missing;
    out.device = st.st_dev;
    out.inode = st.st_ino;
    // A file that cannot be read is left to the store to report.
    if (S_ISREG(st.st_mode) && encrypted_db_at(path->c_str()).value_or(false))
        return active_state::encrypted;
    return active_state::ok;
}

std::optional<active_db> resolve_active_db() {
    say_kept_typing();
    active_db db;
    switch (probe_active_db(db)) {
    case active_state::ok:
        return db;
    case active_state::none:
        std::fputs("No decrypted database found.\n", stderr);
        say_agent_locked();
        break;
    case active_state::ended:
        break;
    case active_state::missing:
        std::fprintf(stderr, "The active database %s does not exist.\n", db.path.c_str());
        break;
    case active_state::encrypted:
        std::fprintf(stderr, "The active database %s is encrypted, not decrypted.\n",
                     db.path.c_str());
        break;
    }
    return std::nullopt;
}

bool still_active(const active_db &before, const char *during) {
    active_db now;
    const char *old_path = before.path.c_str();
    const active_state state = probe_active_db(now);
    if (state == active_state::ended) return false;
    if (state == active_state::none) {
        std::fprintf(stderr, "%s was encrypted or closed %s; nothing was changed.\n", old_path,
                     during);
        return false;
    }
    if (now.path != before.path) {
        std::fprintf(stderr, "The active database changed from %s to %s %s; nothing was changed.\n",
                     old_path, now.path.c_str(), during);
        return false;
    }
    if (now.device != before.device || now.inode != before.inode) {
        std::fprintf(stderr, "%s was replaced or removed %s; nothing was changed.\n", old_path,
                     during);
        return false;
    }
    if (state == active_state::encrypted) {
        std::fprintf(stderr, "%s was encrypted %s; nothing was changed.\n", old_path, during);
        return false;
    }
    return true;
}

db_handle handle_of(const active_db &db) { return db_handle_for(db.path.c_str()); }
