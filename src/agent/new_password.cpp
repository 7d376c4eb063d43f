#include "agent/new_password.h"

#include <cstring>

#include <openssl/crypto.h>

bool take_new_password(agent &a, const char *password, std::string &why) {
    secret_buffer &held = a.key.password();
    const std::size_t length = std::strlen(password);
    if (length == 0 || length >= sizeof held.data) {
        why = "no password of that length opens " + a.container;
        return false;
    }
    a.forget_messages();
    if (decrypt_to_memory_with_key(a.key.key(), a.container.c_str()).status ==
        decrypt_status::ok) {
        why = a.container + " still opens with the password it was unlocked with";
        return false;
    }
    container_key fresh;
    if (decrypt_to_memory_keeping_key(password, a.container.c_str(), fresh).status !=
        decrypt_status::ok) {
        why = a.container + " does not open with the password given";
        return false;
    }
    // The container opens under this password alone from now on; the
    // copy takes in what it holds under it, merged with what the copy
    // holds of its own.
    OPENSSL_cleanse(held.data, sizeof held.data);
    std::memcpy(held.data, password, length + 1);
    return a.refresh(why, true);
}
