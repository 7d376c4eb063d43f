#include "container/crypt.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>

#include "container/container.h"
#include "container/crypt_internal.h"
#include "container/keys.h"
#include "state/files.h"
#include "state/replacement.h"
#include "state/test_hooks.h"
#include "state/failure.h"

namespace fmt = container_format;

namespace {

const char *const changed_while_read = "%s changed while it was read.\n";
const char *const not_a_container = "File is already decrypted or malformed?\n";

// Reads exactly n bytes from fd. A read error prints `read_failure` with
// errno's text; an early end of file prints `short_read` (%s: the name).
bool read_exactly(int fd, unsigned char *buf, std::size_t n, const char *name,
                  const char *read_failure, const char *short_read) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::read(fd, buf + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            print_errno(read_failure + std::string(name));
            return false;
        }
        if (got == 0) {
            say_failuref(short_read, name);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

bool read_random_bytes(unsigned char *out, std::uint32_t n, const char *device) {
    unique_fd fd(::open(device, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        say_failure("Cannot open /dev/urandom\n");
        return false;
    }
    return read_exactly(fd.get(), out, n, device, "Cannot read ", "Short read from %s.\n");
}

bool pbkdf2_sha256(const char *password, const unsigned char *salt, std::size_t salt_len,
                   int iterations, unsigned char *out, std::size_t out_len) {
    std::size_t pass_len = std::strlen(password);
    if (pass_len > INT_MAX || salt_len > INT_MAX || out_len > INT_MAX) return false;
    return PKCS5_PBKDF2_HMAC(password, static_cast<int>(pass_len), salt,
                             static_cast<int>(salt_len), iterations, EVP_sha256(),
                             static_cast<int>(out_len), out) == 1;
}

bool derive_key(const char *password, const unsigned char *salt, key_material &out) {
    bool ok = true;
    if (salt)
        std::memcpy(out.salt.data, salt, sizeof out.salt.data);
    else
        ok = read_random_bytes(out.salt.data, sizeof out.salt.data);
    ok = ok && pbkdf2_sha256(password, out.salt.data, sizeof out.salt.data,
                             fmt::pbkdf2_iterations, out.key.data, sizeof out.key.data);
    if (!ok) say_failure("Key derivation failed.\n");
    return ok;
}

cipher_ctx_ptr start_ctr(const unsigned char *key, const unsigned char *iv, int direction) {
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit(ctx.get(), EVP_aes_256_ctr(), key, iv, direction) != 1) {
        say_failure("Unable to initialize AES.\n");
        return nullptr;
    }
    return ctx;
}

bool ctr_update(EVP_CIPHER_CTX *ctx, const unsigned char *in, std::size_t length,
                unsigned char *out) {
    int done = 0;
    if (length > INT_MAX ||
        EVP_CipherUpdate(ctx, out, &done, in, static_cast<int>(length)) != 1 ||
        static_cast<std::size_t>(done) != length) {
        say_failure("Unable to process data.\n");
        return false;
    }
    return true;
}

bool ctr_final(EVP_CIPHER_CTX *ctx) {
    unsigned char none[EVP_MAX_BLOCK_LENGTH];
    int final_len = 0;
    if (EVP_CipherFinal(ctx, none, &final_len) != 1 || final_len != 0) {
        say_failure("Unable to finalize.\n");
        return false;
    }
    return true;
}

namespace {

const char *const mac_failure = "Unable to compute the MAC.\n";

}  // namespace

mac_ctx_ptr start_mac(const unsigned char *key, std::size_t key_len) {
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    mac_ctx_ptr ctx(hmac != nullptr ? EVP_MAC_CTX_new(hmac) : nullptr);
    EVP_MAC_free(hmac);
    char digest[] = "SHA512";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end()};
    if (!ctx || EVP_MAC_init(ctx.get(), key, key_len, params) != 1) {
        say_failure(mac_failure);
        return nullptr;
    }
    return ctx;
}

bool mac_update(EVP_MAC_CTX *ctx, const unsigned char *data, std::size_t len) {
    if (EVP_MAC_update(ctx, data, len) == 1) return true;
    say_failure(mac_failure);
    return false;
}

bool finish_mac(EVP_MAC_CTX *ctx, unsigned char *mac) {
    std::size_t mac_len = 0;
    if (EVP_MAC_final(ctx, mac, &mac_len, fmt::mac_size) == 1 && mac_len == fmt::mac_size)
        return true;
    say_failure(mac_failure);
    return false;
}

namespace {

// Size of the regular file open as `fd`, if it is at most `limit` bytes;
// `st` keeps what fstat said, to tell later whether the file changed.
bool checked_size(int fd, const char *path, std::int64_t limit, const char *too_large,
                  struct stat &st) {
    if (::fstat(fd, &st) != 0) {
        print_errno(std::string("Unable to examine ") + path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        say_failuref("%s is not a regular file.\n", path);
        return false;
    }
    if (st.st_size > limit) {
        say_failuref(too_large, path);
        return false;
    }
    return true;
}

// A writer that shortens the file shows as a short read; one that lengthens
// it or rewrites bytes in place shows in its size or modification time.
bool unchanged_since(int fd, const char *path, const struct stat &before) {
    struct stat now;
    if (::fstat(fd, &now) == 0 && now.st_size == before.st_size &&
        now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
        now.st_mtim.tv_nsec == before.st_mtim.tv_nsec)
        return true;
    say_failuref(changed_while_read, path);
    return false;
}

unique_fd open_input(const char *path, const char *open_failure) {
    // O_NONBLOCK: a FIFO at the path must not hang before fstat refuses it.
    unique_fd in(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in.valid()) say_failuref(open_failure, path);
    return in;
}

// Messages name the new file target + suffix. A stale file of that name
// would keep a copy of the database beside the target, so it goes.
std::string shown_name(const std::string &target, const char *suffix) {
    std::string shown = target + suffix;
    ::unlink(shown.c_str());
    return shown;
}

// Writes a container a chunk at a time: start() derives a fresh key and
// IV, add() encrypts a chunk in place, MACs it and writes it while it is
// still in the cache, finish() appends the trailer.
class container_writer {
public:
    bool start(const char *password) {
        if (!derive_key(password, nullptr, km_)) return false;
        return start_cipher();
    }

    bool start_with(const container_key &key) {
        std::memcpy(km_.key.data, key.key.data, sizeof km_.key.data);
        std::memcpy(km_.salt.data, key.salt.data, sizeof km_.salt.data);
        return start_cipher();
    }

    bool add(unsigned char *chunk, std::size_t n, file_replacement &out) {
        return ctr_update(cipher_.get(), chunk, n, chunk) && mac_update(mac_.get(), chunk, n) &&
               out.write(chunk, n);
    }

    // `room` holds at least a trailer's bytes.
    bool finish(unsigned char *room, file_replacement &out) {
        if (!ctr_final(cipher_.get())) return false;
        std::memcpy(room + fmt::magic_offset, fmt::magic, fmt::magic_size);
        std::memcpy(room + fmt::iv_offset, iv_, fmt::iv_size);
        std::memcpy(room + fmt::salt_offset, km_.salt.data, fmt::salt_size);
        return mac_update(mac_.get(), room, fmt::mac_covered_trailer) &&
               finish_mac(mac_.get(), room + fmt::mac_offset) &&
               out.write(room, fmt::trailer_size);
    }

private:
    bool start_cipher() {
        if (!read_random_bytes(iv_, sizeof iv_)) {
            say_failure("Initialization vector generation failed.\n");
            return false;
        }
        cipher_ = start_ctr(km_.key.data, iv_, 1);
        if (!cipher_) return false;
        mac_ = start_mac(km_.key.data, sizeof km_.key.data);
        return mac_ != nullptr;
    }

    key_material km_;
    unsigned char iv_[fmt::iv_size];
    cipher_ctx_ptr cipher_;
    mac_ctx_ptr mac_;
};

// PBKDF2 on the second core while the first reads the container. Silent:
// the caller reports a failure once the read is done, so that messages keep
// their order.
struct background_derivation {
    const char *password;
    unsigned char salt[fmt::salt_size];
    key_material *out;
    bool ok = false;
    pthread_t thread{};
    bool running = false;

    static void *run(void *self) {
        auto *d = static_cast<background_derivation *>(self);
        d->ok = pbkdf2_sha256(d->password, d->salt, sizeof d->salt, fmt::pbkdf2_iterations,
                              d->out->key.data, sizeof d->out->key.data);
        return nullptr;
    }
    // Without a second thread the derivation runs in finish().
    void start() { running = ::pthread_create(&thread, nullptr, run, this) == 0; }
    bool finish() {
        if (running) {
            ::pthread_join(thread, nullptr);
            running = false;
        } else {
            run(this);
        }
        std::memcpy(out->salt.data, salt, sizeof salt);
        if (!ok) say_failure("Key derivation failed.\n");
        return ok;
    }
    // The thread writes into *out: it must end before *out goes.
    ~background_derivation() {
        if (running) ::pthread_join(thread, nullptr);
    }
};

// Heap bytes that hold no secret (ciphertext): freed without a wipe.
struct plain_free {
    void operator()(unsigned char *p) const { std::free(p); }
};
using ciphertext_buffer = std::unique_ptr<unsigned char, plain_free>;

// A whole container read into memory with the key derived from its salt.
// The bytes that are authenticated are the bytes that are decrypted,
// whatever happens to the file meanwhile.
struct loaded_container {
    ciphertext_buffer bytes;
    std::size_t plain_size = 0;
    unsigned char trailer[fmt::trailer_size];
    key_material km;
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

// With `given`, its key is taken instead of a derivation from `password`
// (a container of another salt then fails). With `keys`, a key derived
// already for the container's salt is taken from there, and a key derived
// here is kept there.
bool load_container(const char *password, const char *path, loaded_container &c,
                    const container_key *given = nullptr, derived_keys *keys = nullptr) {
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
    background_derivation derivation{password, {}, &c.km};
    std::memcpy(derivation.salt, c.trailer + fmt::salt_offset, fmt::salt_size);
    if (known != nullptr) {
        std::memcpy(c.km.key.data, known->key.data, sizeof c.km.key.data);
        std::memcpy(c.km.salt.data, derivation.salt, sizeof c.km.salt.data);
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

// True when the stored MAC is the MAC of the ciphertext, magic, IV and salt
// under the derived key, compared in constant time; nullopt when it could
// not be computed (after a message).
std::optional<bool> authentic(const loaded_container &c) {
    mac_ctx_ptr mac = start_mac(c.km.key.data, sizeof c.km.key.data);
    unsigned char computed[fmt::mac_size];
    if (!mac || !mac_update(mac.get(), c.bytes.get(), c.plain_size + fmt::mac_covered_trailer) ||
        !finish_mac(mac.get(), computed))
        return std::nullopt;
    return CRYPTO_memcmp(computed, c.trailer + fmt::mac_offset, fmt::mac_size) == 0;
}

}  // namespace

bool encrypt_file(const char *password, const char *path) {
    if (is_encrypted_file(path)) {
        say_failure("File is already encrypted.\n");
        return false;
    }
    unique_fd in = open_input(path, "Unable to open %s\n");
    if (!in.valid()) return false;
    struct stat before;
    if (!checked_size(in.get(), path, fmt::max_plain_size,
                      "%s is too large to encrypt: at most 2147483499 bytes fit a container.\n",
                      before))
        return false;
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    container_writer writer;
    if (!writer.start(password)) return false;
    std::string target = replacement_target(path);
    file_replacement out(target, shown_name(target, ".kesp"));
    if (!out.open()) return false;

    // The new file stays unnamed until the end, so a failure part-way
    // leaves nothing.
    const std::size_t plain_size = static_cast<std::size_t>(before.st_size);
    wiped_buffer chunk(std::min(plain_size, crypt_chunk_size) + fmt::trailer_size);
    for (std::size_t done = 0; done < plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, plain_size - done);
        if (!read_exactly(in.get(), chunk.data(), n, path, "Unable to read ", changed_while_read))
            return false;
        if (done == 0) test_stop_point("encrypt-first-chunk-read");
        if (!writer.add(chunk.data(), n, out)) return false;
        done += n;
    }
    return unchanged_since(in.get(), path, before) && writer.finish(chunk.data(), out) &&
           out.commit();
}

namespace {

bool write_container(container_writer &writer, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new) {
    std::string target = create_new ? std::string(path) : replacement_target(path);
    file_replacement out(target, create_new ? target : shown_name(target, ".kesp"));
    if (!out.open()) return false;
    wiped_buffer chunk(std::min(size, crypt_chunk_size) + fmt::trailer_size);
    for (std::size_t done = 0; done < size;) {
        std::size_t n = std::min(crypt_chunk_size, size - done);
        std::memcpy(chunk.data(), plain + done, n);
        if (!writer.add(chunk.data(), n, out)) return false;
        done += n;
    }
    if (!writer.finish(chunk.data(), out)) return false;
    return create_new ? out.commit_new() : out.commit();
}

bool fits_container(std::size_t size, const char *path) {
    if (size <= static_cast<std::size_t>(fmt::max_plain_size)) return true;
    say_failuref("%s would be too large: at most 2147483499 bytes fit a container.\n",
                 path);
    return false;
}

}  // namespace

bool encrypt_to_file(const char *password, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new) {
    if (!fits_container(size, path)) return false;
    container_writer writer;
    return writer.start(password) && write_container(writer, plain, size, path, create_new);
}

bool encrypt_to_file(const char *password, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new, derived_keys &keys) {
    if (!fits_container(size, path)) return false;
    container_writer writer;
    container_key fresh;
    const bool started = keys.take_fresh(password, fresh) ? writer.start_with(fresh)
                                                          : writer.start(password);
    return started && write_container(writer, plain, size, path, create_new);
}

bool seal_with_key(const container_key &key, const unsigned char *plain, std::size_t size,
                   const char *path, bool create_new) {
    if (!fits_container(size, path)) return false;
    container_writer writer;
    return writer.start_with(key) && write_container(writer, plain, size, path, create_new);
}

bool decrypt_file(const char *password, const char *path) {
    loaded_container c;
    if (!load_container(password, path, c)) return false;
    auto ok = authentic(c);
    if (!ok) return false;
    if (!*ok) {
        say_failure("Invalid password or tampered data. Aborted.\n");
        return false;
    }

    cipher_ctx_ptr cipher = start_ctr(c.km.key.data, c.trailer + fmt::iv_offset, 0);
    if (!cipher) return false;
    std::string target = replacement_target(path);
    file_replacement out(target, shown_name(target, ".plain"));
    if (!out.open()) return false;
    // Plain text exists only a chunk at a time, in a buffer of its own.
    wiped_buffer chunk(std::max<std::size_t>(std::min(c.plain_size, crypt_chunk_size), 1));
    for (std::size_t done = 0; done < c.plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, c.plain_size - done);
        if (!ctr_update(cipher.get(), c.bytes.get() + done, n, chunk.data()) ||
            !out.write(chunk.data(), n))
            return false;
        done += n;
    }
    return ctr_final(cipher.get()) && out.commit();
}

namespace {

decrypted decrypt_loaded(const char *password, const char *path, loaded_container &c,
                         const container_key *given = nullptr,
                         derived_keys *keys = nullptr) {
    decrypted result;
    if (!load_container(password, path, c, given, keys)) return result;
    if (given != nullptr &&
        std::memcmp(given->salt.data, c.km.salt.data, sizeof given->salt.data) != 0) {
        result.status = decrypt_status::wrong_password;
        return result;
    }
    auto ok = authentic(c);
    if (!ok) return result;
    if (!*ok) {
        result.status = decrypt_status::wrong_password;
        return result;
    }
    cipher_ctx_ptr cipher = start_ctr(c.km.key.data, c.trailer + fmt::iv_offset, 0);
    if (!cipher) return result;
    // Decrypted where it lies, so that the file is never held twice; the
    // block is wiped from here on, whatever happens.
    auto plain = std::make_unique<wiped_buffer>(wiped_buffer::adopt_block{}, c.bytes.release(),
                                                c.plain_size);
    for (std::size_t done = 0; done < c.plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, c.plain_size - done);
        if (!ctr_update(cipher.get(), plain->data() + done, n, plain->data() + done)) return result;
        done += n;
    }
    if (!ctr_final(cipher.get())) return result;
    result.status = decrypt_status::ok;
    result.plain = std::move(plain);
    return result;
}

}  // namespace

decrypted decrypt_to_memory(const char *password, const char *path) {
    loaded_container c;
    return decrypt_loaded(password, path, c);
}

decrypted decrypt_to_memory(const char *password, const char *path, derived_keys &keys) {
    loaded_container c;
    return decrypt_loaded(password, path, c, nullptr, &keys);
}

decrypted decrypt_to_memory_keeping_key(const char *password, const char *path,
                                        container_key &key) {
    loaded_container c;
    decrypted result = decrypt_loaded(password, path, c);
    if (result.status == decrypt_status::ok) {
        std::memcpy(key.key.data, c.km.key.data, sizeof key.key.data);
        std::memcpy(key.salt.data, c.km.salt.data, sizeof key.salt.data);
    }
    return result;
}

decrypted decrypt_to_memory_with_key(const container_key &key, const char *path) {
    loaded_container c;
    return decrypt_loaded(nullptr, path, c, &key);
}

bool derive_container_key(const char *password, const unsigned char *salt, container_key &out) {
    key_material km;
    if (!derive_key(password, salt, km)) return false;
    std::memcpy(out.key.data, km.key.data, sizeof out.key.data);
    std::memcpy(out.salt.data, km.salt.data, sizeof out.salt.data);
    return true;
}

bool derive_container_key(const char *password, const unsigned char *salt, container_key &out,
                          failure &why) {
    failure_capture said;
    bool ok = derive_container_key(password, salt, out);
    why = said.take();
    return ok;
}

decrypted decrypt_to_memory_keeping_key(const char *password, const char *path,
                                        container_key &key, failure &why) {
    failure_capture said;
    decrypted result = decrypt_to_memory_keeping_key(password, path, key);
    why = said.take(path);
    return result;
}

decrypted decrypt_to_memory_with_key(const container_key &key, const char *path, failure &why) {
    failure_capture said;
    decrypted result = decrypt_to_memory_with_key(key, path);
    why = said.take(path);
    return result;
}

bool seal_with_key(const container_key &key, const unsigned char *plain, std::size_t size,
                   const char *path, failure &why) {
    failure_capture said;
    bool ok = seal_with_key(key, plain, size, path);
    why = said.take(path);
    return ok;
}
