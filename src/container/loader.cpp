#include "container/loader.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "container/container.h"
#include "container/file_input.h"
#include "container/keys.h"
#include "memory/secret.h"
#include "state/side_job.h"
#include "state/test_hooks.h"

namespace fmt = container_format;

namespace {

// PBKDF2 on the second core while the first reads the container. Its
// failure counts once the read is done, so that a failed read comes first.
class background_derivation {
public:
    background_derivation(const char *password, const unsigned char *salt, key_material &out)
        : password_(password), out_(out) {
        std::memcpy(salt_, salt, sizeof salt_);
    }
    void start() { job_.start(); }
    status finish() {
        job_.finish();
        std::memcpy(out_.salt.data, salt_, sizeof salt_);
        return ok_ ? status_ok() : failed(fault::key_derivation);
    }

private:
    static void derive(void *self) {
        auto *d = static_cast<background_derivation *>(self);
        d->ok_ = pbkdf2_sha256(d->password_, d->salt_, sizeof d->salt_, fmt::pbkdf2_iterations,
                               d->out_.key.data, sizeof d->out_.key.data);
    }

    const char *password_;
    unsigned char salt_[fmt::salt_size];
    key_material &out_;
    bool ok_ = false;
    side_job job_{derive, this};  // last: it ends before what it writes
};

// The trailer at the end of `fd`, checked again for the magic: the file may
// have been replaced since the caller's detection test.
status read_trailer(int fd, const char *path, std::size_t size, unsigned char *trailer) {
    if (size < fmt::trailer_size ||
        ::pread(fd, trailer, fmt::trailer_size, static_cast<off_t>(size - fmt::trailer_size)) !=
            static_cast<ssize_t>(fmt::trailer_size) ||
        std::memcmp(trailer + fmt::magic_offset, fmt::magic, fmt::magic_size) != 0)
        return failed(fault::not_a_container, path);
    return status_ok();
}

}  // namespace

status load_container(const char *password, const char *path, loaded_container &c,
                      const container_key *given, derived_keys *keys) {
    const std::optional<bool> magic = container_magic_at(path);
    if (!magic) return followed_by(failed(fault::cannot_detect, path), fault::not_a_container);
    if (!*magic) return failed(fault::not_a_container, path);
    test_stop_point("container-detected");
    unique_fd in;
    if (status s = open_input(path, fault::cannot_open_container, in); !s) return s;
    struct stat before;
    if (status s = checked_size(in.get(), path, fmt::max_container_size,
                                fault::too_large_container, before);
        !s)
        return s;
    const std::size_t size = static_cast<std::size_t>(before.st_size);
    // The trailer first, for its salt: the key is derived while the rest is
    // read.
    if (status s = read_trailer(in.get(), path, size, c.trailer); !s) return s;
    test_stop_point("trailer-read");
    const container_key *known = given;
    if (known == nullptr && keys != nullptr)
        known = keys->find(password, c.trailer + fmt::salt_offset);
    background_derivation derivation(password, c.trailer + fmt::salt_offset, c.km);
    if (known != nullptr) {
        std::memcpy(c.km.key.data, known->key.data, sizeof c.km.key.data);
        std::memcpy(c.km.salt.data, c.trailer + fmt::salt_offset, sizeof c.km.salt.data);
    } else {
        derivation.start();
    }

    c.bytes.reset(static_cast<unsigned char *>(xmalloc(size)));
    hint_huge_pages(c.bytes.get(), size);
    if (status s = read_exactly(in.get(), c.bytes.get(), size, path, fault::cannot_read,
                                fault::changed_while_read);
        !s)
        return s;
    if (status s = unchanged_since(in.get(), path, before); !s) return s;
    if (std::memcmp(c.bytes.get() + size - fmt::trailer_size, c.trailer, fmt::trailer_size) != 0)
        return failed(fault::changed_while_read, path);
    c.plain_size = size - fmt::trailer_size;
    if (known != nullptr) return status_ok();
    if (status s = derivation.finish(); !s) return s;
    if (keys != nullptr) {
        container_key derived;
        std::memcpy(derived.key.data, c.km.key.data, sizeof derived.key.data);
        std::memcpy(derived.salt.data, c.km.salt.data, sizeof derived.salt.data);
        keys->keep(password, derived);
    }
    return status_ok();
}

std::optional<bool> authentic(const loaded_container &c) {
    mac_ctx_ptr mac = start_mac(c.km.key.data, sizeof c.km.key.data);
    unsigned char computed[fmt::mac_size];
    if (!mac || !mac_update(mac.get(), c.bytes.get(), c.plain_size + fmt::mac_covered_trailer) ||
        !finish_mac(mac.get(), computed))
        return std::nullopt;
    return CRYPTO_memcmp(computed, c.trailer + fmt::mac_offset, fmt::mac_size) == 0;
}
