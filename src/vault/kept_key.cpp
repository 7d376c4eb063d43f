#include "vault/kept_key.h"

#include <cstring>

#include "container/crypt.h"

namespace {

static_assert(sizeof(kept_key::key) == sizeof(container_key::key) &&
              sizeof(kept_key::salt) == sizeof(container_key::salt));

void copy_key(const kept_key &from, container_key &to) {
    std::memcpy(to.key.data, from.key.data, sizeof to.key.data);
    std::memcpy(to.salt.data, from.salt.data, sizeof to.salt.data);
}

void copy_key(const container_key &from, kept_key &to) {
    std::memcpy(to.key.data, from.key.data, sizeof to.key.data);
    std::memcpy(to.salt.data, from.salt.data, sizeof to.salt.data);
}

opened_container opened_from(decrypted d) {
    opened_container o;
    o.status = d.status == decrypt_status::ok               ? open_status::ok
               : d.status == decrypt_status::wrong_password ? open_status::wrong_password
                                                            : open_status::failed;
    o.plain = std::move(d.plain);
    o.why = std::move(d.why);
    return o;
}

}  // namespace

opened_container open_keeping_key(const char *password, const std::string &path, kept_key &key) {
    container_key found;
    decrypted d = decrypt_to_memory_keeping_key(password, path.c_str(), found);
    if (d.status == decrypt_status::ok) copy_key(found, key);
    return opened_from(std::move(d));
}

opened_container open_with_kept_key(const kept_key &key, const std::string &path) {
    container_key held;
    copy_key(key, held);
    return opened_from(decrypt_to_memory_with_key(held, path.c_str()));
}

status seal_with_kept_key(const kept_key &key, const unsigned char *plain, std::size_t size,
                          const std::string &path) {
    container_key held;
    copy_key(key, held);
    return seal_with_key(held, plain, size, path.c_str());
}

status derive_kept_key(const char *password, kept_key &out) {
    container_key fresh;
    if (status s = derive_container_key(password, nullptr, fresh); !s) return s;
    copy_key(fresh, out);
    return status_ok();
}
