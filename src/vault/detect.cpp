#include "vault/detect.h"

#include <cstdio>

#include "container/container.h"
#include "container/crypt.h"
#include "container/format.h"
#include "state/files.h"
#include "store/db.h"

namespace fmt = container_format;

bool is_encrypted_db(const char *path) { return is_encrypted_file(path); }

std::optional<bool> encrypted_db_at(const char *path) { return container_magic_at(path); }

bool is_encrypted_bytes(const unsigned char *bytes, std::size_t size) {
    return is_container_bytes(bytes, size);
}

std::string container_side_file(const char *path) {
    // Even an empty journal: none belongs beside a container.
    return db_side_file(path, true);
}

bool no_container_side_file(const char *path) {
    const std::string side = container_side_file(path);
    if (side.empty()) return true;
    std::fprintf(stderr,
                 "%s lies beside the encrypted database %s and belongs to no database of kesp's; "
                 "nothing was decrypted. Remove it, then try again.\n",
                 side.c_str(), path);
    return false;
}

std::string container_magic_text() {
    return std::string(reinterpret_cast<const char *>(fmt::magic), fmt::magic_size);
}

std::size_t container_trailer_bytes() { return fmt::trailer_size; }

std::string plain_db_header() {
    return std::string(sqlite_header, sqlite_header_size);
}

int container_opens(const char *path, const char *password) {
    decrypted plain = decrypt_to_memory(password, path);
    switch (plain.status) {
    case decrypt_status::ok:
        return 1;
    case decrypt_status::wrong_password:
        return 0;
    case decrypt_status::failed:
        print_status(plain.why);
        break;
    }
    return -1;
}
