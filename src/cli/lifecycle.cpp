// -i, -E, -D, -u: the only commands that write or delete the pointer file.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/commands.h"
#include "cli/session.h"
#include "container/container.h"
#include "container/crypt.h"
#include "state/console.h"
#include "state/files.h"
#include "state/pointer_file.h"
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
    }
    return false;
}

bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

void cmd_init(const char *path, int force, int auto_encrypt) {
    bool active = has_active_db();
    if (force != 1 && active) {
        std::fputs("Existing database is already active. Encrypt it before creating a new one.\n",
                   stderr);
        return;
    }
    if (force == 1 && active) {
        // --force forgets the active database; say where it stays in clear,
        // unless it is the very file about to be replaced.
        auto old = read_active_db_path();
        if (old && file_exists(old->c_str()) && !same_file(old->c_str(), path))
            std::fprintf(stderr, "WARNING: %s stays decrypted and is no longer active.\n",
                         old->c_str());
    }
    if (force == 1 && file_exists(path)) ::unlink(path);
    if (!db_init(path)) return;
    write_active_db_path(path);
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

bool cmd_encrypt() {
    auto path = require_active_db("Unable to read activate database path.\n");
    if (!path) return false;

    secret_buffer password, again;
    if (!read_master_password("Password: ", password)) return false;
    if (!read_master_password("Password again: ", again)) return false;
    if (std::strcmp(password.data, again.data) != 0) {
        std::fputs("Password mismatch.\n", stderr);
        return false;
    }

    if (!encrypt_file(password.data, path->c_str())) {
        std::fprintf(stderr, "Encryption of %s failed.\n", path->c_str());
        return false;
    }
    auto pointer = get_open_db_path();
    if (!pointer) {
        std::fputs("Unable to retrieve the kesp.open_db file path.\n", stderr);
        return false;
    }
    ::unlink(pointer->c_str());
    return true;
}

bool cmd_decrypt(const char *path) {
    if (has_active_db()) {
        std::fputs("Existing database is already active. Encrypt it before decrypting another one.\n",
                   stderr);
        return false;
    }
    secret_buffer password;
    if (!read_master_password("Password: ", password)) return false;
    if (!decrypt_file(password.data, path)) {
        std::fprintf(stderr, "Failed to decrypt %s.\n", path);
        return false;
    }
    write_active_db_path(path);
    return true;
}

void cmd_use_db(const char *path) {
    if (has_active_db()) {
        std::fputs("Type password to encrypt existing active database.\n", stdout);
        if (!cmd_encrypt()) return;
    }
    if (is_encrypted_file(path)) {
        std::printf("Decrypt %s.\n", path);
        if (!cmd_decrypt(path)) return;
    }
    write_active_db_path(path);
}
