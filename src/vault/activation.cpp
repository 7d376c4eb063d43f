#include "vault/activation.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "container/crypt.h"
#include "state/files.h"
#include "state/pointer_file.h"
#include "state/test_hooks.h"
#include "store/db.h"
#include "vault/agent_link.h"
#include "vault/detect.h"
#include "vault/late_change.h"
#include "vault/lock.h"
#include "vault/session.h"

namespace {

const char *const already_active =
    "Existing database is already active. Encrypt it before decrypting another one.\n";

bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// What may_decrypt checks, under whichever lock the caller holds.
bool nothing_active_nothing_beside(const char *path) {
    if (has_active_db()) {
        std::fputs(already_active, stderr);
        return false;
    }
    return no_container_side_file(path);
}

}  // namespace

bool create_and_activate(const char *path, bool force) {
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return false;
    bool active = has_active_db();
    if (!force && active) {
        std::fputs("Existing database is already active. Encrypt it before creating a new one.\n",
                   stderr);
        return false;
    }
    if (force && active) {
        // --force forgets the active database; say where it stays in
        // clear, unless it is the very file about to be replaced.
        auto old = read_active_db_path();
        if (old && file_exists(old->c_str()) && !same_file(old->c_str(), path))
            std::fprintf(stderr, "WARNING: %s stays decrypted and is no longer active.\n",
                         old->c_str());
    }
    if (force && file_exists(path)) ::unlink(path);
    if (!db_init(path)) return false;
    write_active_db_path(path);
    return true;
}

std::optional<active_db> db_to_encrypt() {
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return std::nullopt;
    // A copy kept after its agent ended is what -E is there to seal.
    allow_kept_copy();
    active_db db;
    switch (probe_active_db(db)) {
    case active_state::none:
        std::fputs("No decrypted database found.\n", stderr);
        return std::nullopt;
    case active_state::ended:
        return std::nullopt;
    case active_state::encrypted:
        // Left behind by a decryption that was killed before it could
        // finish: nothing is decrypted, so the record goes.
        std::fprintf(stderr, "%s is already encrypted; it is no longer recorded as active.\n",
                     db.path.c_str());
        remove_active_db_path();
        return std::nullopt;
    case active_state::missing:
        // Nothing is left to encrypt; a record of it would stand in the
        // way of every -D, -u and -i that could get the person out.
        std::fprintf(stderr,
                     "The active database %s does not exist; it is no longer recorded as "
                     "active.\n",
                     db.path.c_str());
        remove_active_db_path();
        return std::nullopt;
    case active_state::ok:
        break;
    }
    return db;
}

bool encrypt_active_db(const active_db &db, const char *password) {
    test_stop_point("before-lock");
    std::optional<user_lock> lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return false;
    // The agent sealed it while the password was typed: what was typed
    // still counts.
    if (agent_let_go(db)) return encrypt_after_lock(lock, db, password);
    if (!still_active(db)) return false;
    test_stop_point("locked");
    const char *path = db.path.c_str();
    // The unlocked copy is sealed by its agent, which holds it, into the
    // container it came from; nothing plain is written outside RAM.
    if (is_agent_copy(db.path)) return encrypt_agent_copy(db.path, password);
    // Names that keep the plain file after it is replaced by the container.
    struct stat before {};
    bool counted = ::stat(path, &before) == 0;
    if (!db_settle(path) || !printed_ok(encrypt_file(password, path))) {
        std::fprintf(stderr, "Encryption of %s failed.\n", path);
        return false;
    }
    if (counted && before.st_nlink > 1) {
        unsigned long others = static_cast<unsigned long>(before.st_nlink) - 1;
        std::fprintf(stderr, "WARNING: %s has %lu other %s the plain database.\n", path, others,
                     others == 1 ? "name that keeps" : "names that keep");
    }
    remember_last_db(absolute_path(path));
    return remove_active_db_path();
}

bool may_decrypt(const char *path) {
    auto lock = take_user_lock(lock_kind::shared);
    return lock && nothing_active_nothing_beside(path);
}

bool decrypt_and_activate(const char *path, const char *password) {
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return false;
    test_stop_point("locked");
    // Another kesp may have decrypted a database while the password was
    // typed, and a side file may have appeared meanwhile.
    if (!nothing_active_nothing_beside(path)) return false;
    // The record comes first: a decrypted database that nothing remembers
    // would stay in clear. Without a record, nothing is decrypted.
    if (!get_open_db_path())
        std::fputs("HOME is not set: there is nowhere to record it.\n", stderr);
    if (!get_open_db_path() || !write_active_db_path(path)) {
        std::fprintf(stderr, "Failed to decrypt %s.\n", path);
        return false;
    }
    if (!printed_ok(decrypt_file(password, path))) {
        remove_active_db_path();
        std::fprintf(stderr, "Failed to decrypt %s.\n", path);
        return false;
    }
    return true;
}

bool may_switch_to(const char *path) {
    // A path that cannot be opened must not become the record that every
    // later command trips over, nor cost the active database its state.
    {
        unique_fd probe(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!probe.valid()) {
            print_errno(std::string("Unable to open ") + path);
            return false;
        }
    }
    // Refused before the active database is encrypted for a switch that
    // could not happen.
    return !encrypted_db_at(path).value_or(false) || no_container_side_file(path);
}

bool activate_plain_db(const char *path) {
    test_stop_point("before-lock");
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return false;
    // Another kesp may have made a database active after ours was encrypted.
    auto now = read_active_db_path();
    if (now && *now != absolute_path(path)) {
        std::fprintf(stderr, "%s became active meanwhile; nothing was changed.\n", now->c_str());
        return false;
    }
    return write_active_db_path(path);
}
