#include "agent/new_password.h"

#include <cstring>

#include <openssl/crypto.h>

#include "vault/kept_key.h"

bool take_new_password(agent &a, const char *password, std::string &why) {
    secret_buffer &held = a.key.password();
    const std::size_t length = std::strlen(password);
    if (length == 0 || length >= sizeof held.data) {
        why = "no password of that length opens " + a.container;
        return false;
    }
    if (open_with_kept_key(a.key.key(), a.container).status == open_status::ok) {
        why = a.container + " still opens with the password it was unlocked with";
        return false;
    }
    kept_key fresh;
    if (open_keeping_key(password, a.container, fresh).status != open_status::ok) {
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
