#include "container/loader.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "container/container.h"
#include "container/file_input.h"
#include "container/keys.h"
#include "memory/secret.h"
#include "state/failure.h"
#include "state/side_job.h"
#include "state/test_hooks.h"

namespace fmt = container_format;

namespace {

// PBKDF2 on the second core while the first reads the container. Silent:
// the caller reports a failure once the read is done, so that messages keep
// their order.
class background_derivation {
public:
    background_derivation(const char *password, const unsigned char *salt, key_material &out)
        : password_(password), out_(out) {
        std::memcpy(salt_, salt, sizeof salt_);
    }
    void start() { job_.start(); }
    bool finish() {
        job_.finish();
        std::memcpy(out_.salt.data, salt_, sizeof salt_);
        if (!ok_) say_failure("Key derivation failed.\n");
        return ok_;
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
bool read_trailer(int fd, std::size_t size, unsigned char *trailer) {
    if (size < fmt::trailer_size ||
        ::pread(fd, trailer, fmt::trailer_size, static_cast<off_t>(size - fmt::trailer_size)) !=
            static_cast<ssize_t>(fmt::trailer_size) ||
        std::memcmp(trailer + fmt::magic_offset, fmt::magic, fmt::magic_size) != 0) {
        say_failure(not_a_container);
        return false;
    }
    return true;
}

}  // namespace

bool load_container(const char *password, const char *path, loaded_container &c,
                    const container_key *given, derived_keys *keys) {
    if (!is_encrypted_file(path)) {
        say_failure(not_a_container);
        return false;
    }
    test_stop_point("container-detected");
    unique_fd in = open_input(path, "Unable to open %s for reading.\n");
    if (!in.valid()) return false;
    struct stat before;
    if (!checked_size(in.get(), path, fmt::max_container_size,
                      "%s is too large for a container: at most 2147483647 bytes.\n", before))
        return false;
    const std::size_t size = static_cast<std::size_t>(before.st_size);
    // The trailer first, for its salt: the key is derived while the rest is
    // read.
    if (!read_trailer(in.get(), size, c.trailer)) return false;
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
    if (!read_exactly(in.get(), c.bytes.get(), size, path, "Unable to read ", changed_while_read) ||
        !unchanged_since(in.get(), path, before))
        return false;
    if (std::memcmp(c.bytes.get() + size - fmt::trailer_size, c.trailer, fmt::trailer_size) != 0) {
        say_failuref(changed_while_read, path);
        return false;
    }
    c.plain_size = size - fmt::trailer_size;
    if (known != nullptr) return true;
    if (!derivation.finish()) return false;
    if (keys != nullptr) {
        container_key derived;
        std::memcpy(derived.key.data, c.km.key.data, sizeof derived.key.data);
        std::memcpy(derived.salt.data, c.km.salt.data, sizeof derived.salt.data);
        keys->keep(password, derived);
    }
    return true;
}

std::optional<bool> authentic(const loaded_container &c) {
    mac_ctx_ptr mac = start_mac(c.km.key.data, sizeof c.km.key.data);
    unsigned char computed[fmt::mac_size];
    if (!mac || !mac_update(mac.get(), c.bytes.get(), c.plain_size + fmt::mac_covered_trailer) ||
        !finish_mac(mac.get(), computed))
        return std::nullopt;
    return CRYPTO_memcmp(computed, c.trailer + fmt::mac_offset, fmt::mac_size) == 0;
}
