#include "vault/lineage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/rand.h>

#include "container/crypt.h"
#include "vault/agent_link.h"

namespace {

// The container decrypted with the key of `password`, or the agent's; the
// key into `key`.
decrypted open_container(const std::string &path, const char *password, container_key &key) {
    if (password != nullptr) return decrypt_to_memory_keeping_key(password, path.c_str(), key);
    held_key agent = agent_key_for(path);
    if (!agent) {
        decrypted refused;
        refused.status = decrypt_status::wrong_password;
        return refused;
    }
    std::memcpy(key.key.data, agent->key.data, sizeof key.key.data);
    std::memcpy(key.salt.data, agent->salt.data, sizeof key.salt.data);
    return decrypt_to_memory_with_key(key, path.c_str());
}

}  // namespace

db_lineage new_lineage() {
    db_lineage lineage;
    if (RAND_bytes(lineage.identity.data(), static_cast<int>(lineage.identity.size())) != 1) {
        std::fputs("The random number generator failed. Abort.\n", stderr);
        std::abort();
    }
    return lineage;
}

std::string lineage_identity_text(const db_lineage &lineage) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : lineage.identity) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

bool parse_lineage_identity(const std::string &text, db_lineage &out) {
    if (text.size() != 2 * lineage_identity_size) return false;
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < lineage_identity_size; ++i) {
        int high = value(text[2 * i]), low = value(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out.identity[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

int container_lineage(const std::string &path, const char *password, lineage_status &status,
                      db_lineage &out) {
    container_key key;
    decrypted d = open_container(path, password, key);
    if (d.status == decrypt_status::wrong_password) return 0;
    if (d.status != decrypt_status::ok) {
        print_status(d.why);
        return -1;
    }
    status = db_image_lineage(d.plain->data(), d.plain->size(), out);
    if (status == lineage_status::failed) {
        std::fprintf(stderr, "%s does not hold a database.\n", path.c_str());
        return -1;
    }
    return 1;
}

bool stamp_container(const std::string &path, const char *password, const db_lineage &lineage) {
    container_key key;
    decrypted d = open_container(path, password, key);
    if (d.status == decrypt_status::wrong_password)
        std::fprintf(stderr, "Invalid password or tampered data: %s cannot be read.\n",
                     path.c_str());
    if (d.status == decrypt_status::failed) print_status(d.why);
    if (d.status != decrypt_status::ok) return false;
    auto stamped = db_image_with_lineage(d.plain->data(), d.plain->size(), lineage);
    return stamped && printed_ok(seal_with_key(key, stamped->data(), stamped->size(), path.c_str()));
}
