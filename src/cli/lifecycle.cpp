// -i, -E, -D, -u: the only commands that write or delete the pointer file.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/commands.h"
#include "vault/session.h"
#include "container/container.h"
#include "container/crypt.h"
#include "state/console.h"
#include "state/files.h"
#include "state/pointer_file.h"
#include "state/test_hooks.h"
#include "store/db.h"

namespace {

// A master password must come from a person at a terminal: encrypting with
// an empty text that nobody typed would lock the database with no password.
bool read_master_password(const char *prompt, secret_buffer &answer) {
    switch (read_secret(prompt, answer.data, sizeof answer.data, stdin)) {
    case secret_status::ok:
        return true;
    case secret_status::no_terminal:
        std::fputs("A terminal is needed to type the master password.\n", stderr);
        return false;
    case secret_status::too_long:
        return false;
    case secret_status::end_of_input:
        // Ctrl-D is no password: an empty one would lock the database
        // with no password at all.
        std::fputs("Input ended; nothing was changed.\n", stderr);
        return false;
    }
    return false;
}

const char *const already_active =
    "Existing database is already active. Encrypt it before decrypting another one.\n";

bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

void cmd_init(const char *path, int force, int auto_encrypt) {
    {
        auto lock = take_user_lock(lock_kind::exclusive);
        if (!lock) return;
        bool active = has_active_db();
        if (force != 1 && active) {
            std::fputs("Existing database is already active. Encrypt it before creating a new one.\n",
                       stderr);
            return;
        }
        if (force == 1 && active) {
            // --force forgets the active database; say where it stays in
            // clear, unless it is the very file about to be replaced.
            auto old = read_active_db_path();
            if (old && file_exists(old->c_str()) && !same_file(old->c_str(), path))
                std::fprintf(stderr, "WARNING: %s stays decrypted and is no longer active.\n",
                             old->c_str());
        }
        if (force == 1 && file_exists(path)) ::unlink(path);
        if (!db_init(path)) return;
        write_active_db_path(path);
    }
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

bool cmd_encrypt() {
    active_db db;
    {
        auto lock = take_user_lock(lock_kind::exclusive);
        if (!lock) return false;
        switch (probe_active_db(db)) {
        case active_state::none:
            std::fputs("No decrypted database found.\n", stderr);
            return false;
        case active_state::encrypted:
            // Left behind by a decryption that was killed before it could
            // finish: nothing is decrypted, so the record goes.
            std::fprintf(stderr, "%s is already encrypted; it is no longer recorded as active.\n",
                         db.path.c_str());
            remove_active_db_path();
            return false;
        case active_state::missing:
            // Nothing is left to encrypt; a record of it would stand in the
            // way of every -D, -u and -i that could get the person out.
            std::fprintf(stderr,
                         "The active database %s does not exist; it is no longer recorded as "
                         "active.\n",
                         db.path.c_str());
            remove_active_db_path();
            return false;
        case active_state::ok:
            break;
        }
    }

    secret_buffer password, again;
    if (!read_master_password("Password: ", password)) return false;
    if (!read_master_password("Password again: ", again)) return false;
    if (std::strcmp(password.data, again.data) != 0) {
        std::fputs("Password mismatch.\n", stderr);
        return false;
    }

    if (!encrypt_active_db(db, password.data)) return false;
    // Accepted, since files and scripts may rely on it, but never silently.
    if (password.data[0] == '\0')
        std::fprintf(stderr, "WARNING: the master password is empty; anyone can decrypt %s.\n",
                     db.path.c_str());
    return true;
}

void run_auto_encrypt_step() {
    std::fputs("Auto encrypt enabled, type password to encrypt.\n", stdout);
    if (!cmd_encrypt()) warn_if_still_decrypted();
}

void warn_if_still_decrypted() {
    auto lock = take_user_lock(lock_kind::shared);
    if (!lock) return;
    active_db db;
    if (probe_active_db(db) != active_state::ok) return;
    std::fflush(stdout);
    std::fprintf(stderr, "WARNING: %s is still decrypted; encrypt it with kesp -E.\n",
                 db.path.c_str());
}

void cmd_show_db_path() {
    auto path = read_active_db_path();
    if (!path) {
        std::fputs("No decrypted database exist.\n", stderr);
        return;
    }
    std::printf("%s\n", path->c_str());
}

bool cmd_decrypt(const char *path) {
    {
        auto lock = take_user_lock(lock_kind::shared);
        if (!lock) return false;
        if (has_active_db()) {
            std::fputs(already_active, stderr);
            return false;
        }
    }
    secret_buffer password;
    if (!read_master_password("Password: ", password)) return false;

    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return false;
    test_stop_point("locked");
    // Another kesp may have decrypted a database while the password was typed.
    if (has_active_db()) {
        std::fputs(already_active, stderr);
        return false;
    }
    // The record comes first: a decrypted database that nothing remembers
    // would stay in clear. Without a record, nothing is decrypted.
    if (!get_open_db_path()) std::fputs("HOME is not set: there is nowhere to record it.\n", stderr);
    if (!get_open_db_path() || !write_active_db_path(path)) {
        std::fprintf(stderr, "Failed to decrypt %s.\n", path);
        return false;
    }
    if (!decrypt_file(password.data, path)) {
        remove_active_db_path();
        std::fprintf(stderr, "Failed to decrypt %s.\n", path);
        return false;
    }
    return true;
}

void cmd_use_db(const char *path) {
    // A path that cannot be opened must not become the record that every
    // later command trips over, nor cost the active database its state.
    {
        unique_fd probe(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!probe.valid()) {
            print_errno(std::string("Unable to open ") + path);
            return;
        }
    }
    if (has_active_db()) {
        std::fputs("Type password to encrypt existing active database.\n", stdout);
        if (!cmd_encrypt()) return;
    }
    if (is_encrypted_file(path)) {
        std::printf("Decrypt %s.\n", path);
        cmd_decrypt(path);
        return;
    }
    test_stop_point("before-lock");
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return;
    // Another kesp may have made a database active after ours was encrypted.
    auto now = read_active_db_path();
    if (now && *now != absolute_path(path)) {
        std::fprintf(stderr, "%s became active meanwhile; nothing was changed.\n", now->c_str());
        return;
    }
    write_active_db_path(path);
}
