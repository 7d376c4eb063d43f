// -i, -E, -D, -u: the prompts of the commands that make a database active
// and forget it again; the vault does the rest (vault/activation.h).
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "state/console.h"
#include "state/pointer_file.h"
#include "vault/activation.h"
#include "vault/detect.h"
#include "vault/lock.h"

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

}  // namespace

void cmd_init(const char *path, int force, int auto_encrypt) {
    if (!create_and_activate(path, force == 1)) return;
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

bool cmd_encrypt() {
    auto db = db_to_encrypt();
    if (!db) return false;

    secret_buffer password, again;
    if (!read_master_password("Password: ", password)) return false;
    if (!read_master_password("Password again: ", again)) return false;
    if (std::strcmp(password.data, again.data) != 0) {
        std::fputs("Password mismatch.\n", stderr);
        return false;
    }

    if (!encrypt_active_db(*db, password.data)) return false;
    // Accepted, since files and scripts may rely on it, but never silently.
    if (password.data[0] == '\0')
        std::fprintf(stderr, "WARNING: the master password is empty; anyone can decrypt %s.\n",
                     db->path.c_str());
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
    if (!may_decrypt(path)) return false;
    secret_buffer password;
    if (!read_master_password("Password: ", password)) return false;
    return decrypt_and_activate(path, password.data);
}

void cmd_use_db(const char *path) {
    if (!may_switch_to(path)) return;
    if (has_active_db()) {
        std::fputs("Type password to encrypt existing active database.\n", stdout);
        if (!cmd_encrypt()) return;
    }
    if (is_encrypted_db(path)) {
        std::printf("Decrypt %s.\n", path);
        cmd_decrypt(path);
        return;
    }
    activate_plain_db(path);
}
