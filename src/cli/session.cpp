#include "cli/session.h"

#include <cstdio>

#include "cli/commands.h"
#include "state/pointer_file.h"
#include "store/db.h"

std::optional<std::string> require_active_db(const char *no_path) {
    if (!has_active_db()) {
        std::fputs("No decrypted database found.\n", stderr);
        return std::nullopt;
    }
    auto path = read_active_db_path();
    if (!path) std::fputs(no_path, stderr);
    return path;
}

entry_ptr fetch_entry(const std::string &path, int id, const char *missing) {
    entry_ptr e(db_get_entry(path.c_str(), id));
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
