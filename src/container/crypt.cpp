#include "container/crypt.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/params.h>

#include "container/container.h"
#include "container/crypt_internal.h"
#include "state/files.h"
#include "state/test_hooks.h"
#include "state/replacement.h"
#include "memory/secret.h"

namespace fmt = container_format;

namespace {

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
            std::fprintf(stderr, short_read, name);
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
        std::fputs("Cannot open /dev/urandom\n", stderr);
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
    if (!ok) std::fputs("Key derivation failed.\n", stderr);
    return ok;
}

bool hmac_sha512(const unsigned char *key, std::size_t key_len, const unsigned char *data,
                 std::size_t len, unsigned char *mac) {
    if (key_len > INT_MAX) return false;
    unsigned int mac_len = 0;
    return HMAC(EVP_sha512(), key, static_cast<int>(key_len), data, len, mac, &mac_len) &&
           mac_len == fmt::mac_size;
}

namespace {

const char *const changed_while_read = "%s changed while it was read.\n";

struct cipher_ctx_deleter {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter>;

struct mac_ctx_deleter {
    void operator()(EVP_MAC_CTX *ctx) const { EVP_MAC_CTX_free(ctx); }
};
using mac_ctx_ptr = std::unique_ptr<EVP_MAC_CTX, mac_ctx_deleter>;

// Counter mode under `key` from the counter block `iv`; one context carries
// the counter from one chunk to the next.
cipher_ctx_ptr start_ctr(const unsigned char *key, const unsigned char *iv, int direction) {
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit(ctx.get(), EVP_aes_256_ctr(), key, iv, direction) != 1) {
        std::fputs("Unable to initialize AES.\n", stderr);
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
        std::fputs("Unable to process data.\n", stderr);
        return false;
    }
    return true;
}

// Counter mode keeps nothing back, so the final step adds no bytes.
bool ctr_final(EVP_CIPHER_CTX *ctx) {
    unsigned char none[EVP_MAX_BLOCK_LENGTH];
    int final_len = 0;
    if (EVP_CipherFinal(ctx, none, &final_len) != 1 || final_len != 0) {
        std::fputs("Unable to finalize.\n", stderr);
        return false;
    }
    return true;
}

// HMAC-SHA512 under the container key, fed piece by piece. Silent.
mac_ctx_ptr start_mac(const unsigned char *key, std::size_t key_len) {
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (hmac == nullptr) return nullptr;
    mac_ctx_ptr ctx(EVP_MAC_CTX_new(hmac));
    EVP_MAC_free(hmac);
    char digest[] = "SHA512";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end()};
    if (!ctx || EVP_MAC_init(ctx.get(), key, key_len, params) != 1) return nullptr;
    return ctx;
}

bool finish_mac(EVP_MAC_CTX *ctx, unsigned char *mac) {
    std::size_t mac_len = 0;
    return EVP_MAC_final(ctx, mac, &mac_len, fmt::mac_size) == 1 && mac_len == fmt::mac_size;
}

// Size of the regular file open as `fd`, if it is at most `limit` bytes;
// `st` keeps what fstat said, to tell later whether the file changed.
bool checked_size(int fd, const char *path, std::int64_t limit, const char *too_large,
                  struct stat &st) {
    if (::fstat(fd, &st) != 0) {
        print_errno(std::string("Unable to examine ") + path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s is not a regular file.\n", path);
        return false;
    }
    if (st.st_size > limit) {
        std::fprintf(stderr, too_large, path);
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
    std::fprintf(stderr, changed_while_read, path);
    return false;
}

unique_fd open_input(const char *path, const char *open_failure) {
    // O_NONBLOCK: a FIFO at the path must not hang before fstat refuses it.
    unique_fd in(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in.valid()) std::fprintf(stderr, open_failure, path);
    return in;
}

// The file that `path` names: where it is a symbolic link, the file the
// link leads to. Replacing the link itself would leave that file in clear
// (or encrypted) behind the user's back, and the temporary file belongs
// beside the file it replaces, on the same file system.
std::string replacement_target(const char *path) {
    struct stat st;
    if (::lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char *resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

}  // namespace


bool aes_ctr_transform(const unsigned char *in, std::int32_t length, unsigned char *out,
                       const unsigned char *key, const unsigned char *iv, int direction) {
    cipher_ctx_ptr ctx = start_ctr(key, iv, direction);
    if (!ctx) return false;
    if (length < 0) {
        std::fputs("Unable to process data.\n", stderr);
        return false;
    }
    return ctr_update(ctx.get(), in, static_cast<std::size_t>(length), out) && ctr_final(ctx.get());
}

namespace {

// The trailer's first three fields, which the MAC covers.
void fill_trailer(unsigned char *trailer, const unsigned char *iv, const unsigned char *salt) {
    std::memcpy(trailer + fmt::magic_offset, fmt::magic, fmt::magic_size);
    std::memcpy(trailer + fmt::iv_offset, iv, fmt::iv_size);
    std::memcpy(trailer + fmt::salt_offset, salt, fmt::salt_size);
}

// Earlier versions wrote the new file beside the target under target +
// suffix, and a run killed then left that file behind: it goes first, and
// names the new file in messages.
std::string shown_name(const std::string &target, const char *suffix) {
    std::string shown = target + suffix;
    ::unlink(shown.c_str());
    return shown;
}

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
        if (!ok) std::fputs("Key derivation failed.\n", stderr);
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


}  // namespace

bool encrypt_file(const char *password, const char *path) {
    if (is_encrypted_file(path)) {
        std::fputs("File is already encrypted.\n", stderr);
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

    key_material km;
    if (!derive_key(password, nullptr, km)) return false;
    unsigned char iv[fmt::iv_size];
    if (!read_random_bytes(iv, sizeof iv)) {
        std::fputs("Initialization vector generation failed.\n", stderr);
        return false;
    }
    cipher_ctx_ptr cipher = start_ctr(km.key.data, iv, 1);
    if (!cipher) return false;
    mac_ctx_ptr mac = start_mac(km.key.data, sizeof km.key.data);
    if (!mac) {
        std::fputs("Unable to compute the MAC.\n", stderr);
        return false;
    }

    std::string target = replacement_target(path);
    file_replacement out(target, shown_name(target, ".kesp"));
    if (!out.open()) return false;

    // One pass, a chunk at a time: read, encrypt in place, MAC and write it
    // while it is still in the cache. The new file stays unnamed until the
    // end, so a failure part-way leaves nothing.
    const std::size_t plain_size = static_cast<std::size_t>(before.st_size);
    wiped_buffer chunk(std::min(plain_size, crypt_chunk_size) + fmt::trailer_size);
    for (std::size_t done = 0; done < plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, plain_size - done);
        if (!read_exactly(in.get(), chunk.data(), n, path, "Unable to read ", changed_while_read))
            return false;
        if (done == 0) test_stop_point("encrypt-first-chunk-read");
        if (!ctr_update(cipher.get(), chunk.data(), n, chunk.data())) return false;
        if (EVP_MAC_update(mac.get(), chunk.data(), n) != 1) {
            std::fputs("Unable to compute the MAC.\n", stderr);
            return false;
        }
        if (!out.write(chunk.data(), n)) return false;
        done += n;
    }
    if (!unchanged_since(in.get(), path, before) || !ctr_final(cipher.get())) return false;

    unsigned char *trailer = chunk.data();
    fill_trailer(trailer, iv, km.salt.data);
    if (EVP_MAC_update(mac.get(), trailer, fmt::mac_covered_trailer) != 1 ||
        !finish_mac(mac.get(), trailer + fmt::mac_offset)) {
        std::fputs("Unable to compute the MAC.\n", stderr);
        return false;
    }
    return out.write(trailer, fmt::trailer_size) && out.commit();
}

bool decrypt_file(const char *password, const char *path) {
    if (!is_encrypted_file(path)) {
        std::fputs("File is already decrypted or malformed?\n", stderr);
        return false;
    }
    unique_fd in = open_input(path, "Unable to open %s for reading.\n");
    if (!in.valid()) return false;
    struct stat before;
    if (!checked_size(in.get(), path, fmt::max_container_size,
                      "%s is too large for a container: at most 2147483647 bytes.\n", before))
        return false;
    const std::size_t size = static_cast<std::size_t>(before.st_size);

    // The trailer first, for its salt: the key is derived while the rest is
    // read.
    unsigned char trailer[fmt::trailer_size];
    if (size < fmt::trailer_size ||
        ::pread(in.get(), trailer, sizeof trailer, static_cast<off_t>(size - sizeof trailer)) !=
            static_cast<ssize_t>(sizeof trailer) ||
        std::memcmp(trailer + fmt::magic_offset, fmt::magic, fmt::magic_size) != 0) {
        std::fputs("File is already decrypted or malformed?\n", stderr);
        return false;
    }
    key_material km;
    background_derivation derivation{password, {}, &km};
    std::memcpy(derivation.salt, trailer + fmt::salt_offset, fmt::salt_size);
    derivation.start();

    // The whole container in memory before anything is decrypted: the bytes
    // that are authenticated are the bytes that are decrypted, whatever
    // happens to the file meanwhile.
    ciphertext_buffer buf(static_cast<unsigned char *>(xmalloc(size)));
    hint_huge_pages(buf.get(), size);
    if (!read_exactly(in.get(), buf.get(), size, path, "Unable to read ", changed_while_read) ||
        !unchanged_since(in.get(), path, before))
        return false;
    if (std::memcmp(buf.get() + size - sizeof trailer, trailer, sizeof trailer) != 0) {
        std::fprintf(stderr, changed_while_read, path);
        return false;
    }
    if (!derivation.finish()) return false;

    const std::size_t plain_size = size - fmt::trailer_size;
    unsigned char mac[fmt::mac_size];
    if (!hmac_sha512(km.key.data, sizeof km.key.data, buf.get(),
                     plain_size + fmt::mac_covered_trailer, mac)) {
        std::fputs("Unable to compute the MAC.\n", stderr);
        return false;
    }
    if (CRYPTO_memcmp(mac, trailer + fmt::mac_offset, fmt::mac_size) != 0) {
        std::fputs("Invalid password or tampered data. Aborted.\n", stderr);
        return false;
    }

    cipher_ctx_ptr cipher = start_ctr(km.key.data, trailer + fmt::iv_offset, 0);
    if (!cipher) return false;
    std::string target = replacement_target(path);
    file_replacement out(target, shown_name(target, ".plain"));
    if (!out.open()) return false;
    // Plain text exists only a chunk at a time, in a buffer of its own.
    wiped_buffer chunk(std::max<std::size_t>(std::min(plain_size, crypt_chunk_size), 1));
    for (std::size_t done = 0; done < plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, plain_size - done);
        if (!ctr_update(cipher.get(), buf.get() + done, n, chunk.data()) ||
            !out.write(chunk.data(), n))
            return false;
        done += n;
    }
    return ctr_final(cipher.get()) && out.commit();
}
