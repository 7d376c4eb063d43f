#include "container/crypt.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "container/container.h"
#include "container/crypt_internal.h"
#include "state/files.h"
#include "state/replacement.h"
#include "memory/secret.h"

namespace fmt = container_format;

namespace {

void print_errno(const std::string &what) {
    std::fprintf(stderr, "%s\n", errno_message(what).c_str());
}

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

struct cipher_ctx_deleter {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter>;

// Size of the regular file open as `fd`, if it is at most `limit` bytes.
bool checked_size(int fd, const char *path, std::int64_t limit, const char *too_large,
                  std::size_t &size) {
    struct stat st;
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
    size = static_cast<std::size_t>(st.st_size);
    return true;
}

// Puts `data` in place of the file at `target` (see file_replacement).
// Earlier versions wrote beside it under target + suffix, and a run killed
// then left that file behind: it goes first, and names the new file in
// messages.
bool replace_file(const std::string &target, const char *suffix, const unsigned char *data,
                  std::size_t size) {
    std::string shown = target + suffix;
    ::unlink(shown.c_str());
    file_replacement out(target, shown);
    return out.open() && out.write(data, size) && out.commit();
}

// Reads the whole regular file at `path`, at most `limit` bytes, through one
// descriptor into a new buffer with `spare` bytes behind the file's bytes;
// `size` is the file's size. Nothing on failure, after its message.
std::unique_ptr<wiped_buffer> read_whole_file(const char *path, const char *open_failure,
                                              std::int64_t limit, const char *too_large,
                                              std::size_t spare, std::size_t &size) {
    unique_fd in(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in.valid()) {
        std::fprintf(stderr, open_failure, path);
        return nullptr;
    }
    if (!checked_size(in.get(), path, limit, too_large, size)) return nullptr;
    auto buf = std::make_unique<wiped_buffer>(size + spare);
    if (!read_exactly(in.get(), buf->data(), size, path, "Unable to read ",
                      "%s changed while it was read.\n"))
        return nullptr;
    return buf;
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
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit(ctx.get(), EVP_aes_256_ctr(), key, iv, direction) != 1) {
        std::fputs("Unable to initialize AES.\n", stderr);
        return false;
    }
    int update_len = 0;
    if (length < 0 || EVP_CipherUpdate(ctx.get(), out, &update_len, in, length) != 1) {
        std::fputs("Unable to process data.\n", stderr);
        return false;
    }
    // Counter mode keeps nothing back, so the final step adds no bytes.
    int final_len = 0;
    if (EVP_CipherFinal(ctx.get(), out + update_len, &final_len) != 1 ||
        update_len + final_len != length) {
        std::fputs("Unable to finalize.\n", stderr);
        return false;
    }
    return true;
}

bool encrypt_file(const char *password, const char *path) {
    if (is_encrypted_file(path)) {
        std::fputs("File is already encrypted.\n", stderr);
        return false;
    }

    // The plain file is read once, before any work, into a buffer that also
    // holds the trailer; it is encrypted in place and written in one go.
    std::size_t plain_size = 0;
    auto buf = read_whole_file(
        path, "Unable to open %s\n", fmt::max_plain_size,
        "%s is too large to encrypt: at most 2147483499 bytes fit a container.\n",
        fmt::trailer_size, plain_size);
    if (!buf) return false;

    key_material km;
    if (!derive_key(password, nullptr, km)) return false;
    unsigned char iv[fmt::iv_size];
    if (!read_random_bytes(iv, sizeof iv)) {
        std::fputs("Initialization vector generation failed.\n", stderr);
        return false;
    }

    if (!aes_ctr_transform(buf->data(), static_cast<std::int32_t>(plain_size), buf->data(), km.key.data,
                           iv, 1))
        return false;
    unsigned char *trailer = buf->data() + plain_size;
    std::memcpy(trailer + fmt::magic_offset, fmt::magic, fmt::magic_size);
    std::memcpy(trailer + fmt::iv_offset, iv, fmt::iv_size);
    std::memcpy(trailer + fmt::salt_offset, km.salt.data, fmt::salt_size);
    if (!hmac_sha512(km.key.data, sizeof km.key.data, buf->data(), plain_size + fmt::mac_covered_trailer,
                     trailer + fmt::mac_offset)) {
        std::fputs("Unable to compute the MAC.\n", stderr);
        return false;
    }
    std::string target = replacement_target(path);
    return replace_file(target, ".kesp", buf->data(), buf->size());
}

bool decrypt_file(const char *password, const char *path) {
    if (!is_encrypted_file(path)) {
        std::fputs("File is already decrypted or malformed?\n", stderr);
        return false;
    }

    // One read of the whole container: the bytes that are authenticated are
    // the bytes that are decrypted, whatever happens to the file meanwhile.
    std::size_t size = 0;
    auto buf = read_whole_file(path, "Unable to open %s for reading.\n", fmt::max_container_size,
                               "%s is too large for a container: at most 2147483647 bytes.\n",
                               0, size);
    if (!buf) return false;
    if (!has_container_magic(buf->data(), size)) {
        std::fputs("File is already decrypted or malformed?\n", stderr);
        return false;
    }

    std::size_t plain_size = size - fmt::trailer_size;
    const unsigned char *trailer = buf->data() + plain_size;
    key_material km;
    if (!derive_key(password, trailer + fmt::salt_offset, km)) return false;
    unsigned char mac[fmt::mac_size];
    if (!hmac_sha512(km.key.data, sizeof km.key.data, buf->data(), plain_size + fmt::mac_covered_trailer,
                     mac)) {
        std::fputs("Unable to compute the MAC.\n", stderr);
        return false;
    }
    if (CRYPTO_memcmp(mac, trailer + fmt::mac_offset, fmt::mac_size) != 0) {
        std::fputs("Invalid password or tampered data. Aborted.\n", stderr);
        return false;
    }

    if (!aes_ctr_transform(buf->data(), static_cast<std::int32_t>(plain_size), buf->data(), km.key.data,
                           trailer + fmt::iv_offset, 0))
        return false;
    std::string target = replacement_target(path);
    return replace_file(target, ".plain", buf->data(), plain_size);
}
