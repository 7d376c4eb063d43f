#include "container/crypt_internal.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>

#include <openssl/core_names.h>
#include <openssl/params.h>

#include "container/file_input.h"
#include "state/files.h"

namespace fmt = container_format;

status read_random_bytes(unsigned char *out, std::uint32_t n, const char *device) {
    unique_fd fd(::open(device, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return failed(fault::cannot_open_random, device, errno);
    return read_exactly(fd.get(), out, n, device, fault::cannot_read_random, fault::short_random);
}

bool pbkdf2_sha256(const char *password, const unsigned char *salt, std::size_t salt_len,
                   int iterations, unsigned char *out, std::size_t out_len) {
    std::size_t pass_len = std::strlen(password);
    if (pass_len > INT_MAX || salt_len > INT_MAX || out_len > INT_MAX) return false;
    return PKCS5_PBKDF2_HMAC(password, static_cast<int>(pass_len), salt,
                             static_cast<int>(salt_len), iterations, EVP_sha256(),
                             static_cast<int>(out_len), out) == 1;
}

status derive_key(const char *password, const unsigned char *salt, key_material &out) {
    if (salt)
        std::memcpy(out.salt.data, salt, sizeof out.salt.data);
    else if (status s = read_random_bytes(out.salt.data, sizeof out.salt.data); !s)
        return followed_by(s, fault::key_derivation);
    if (!pbkdf2_sha256(password, out.salt.data, sizeof out.salt.data, fmt::pbkdf2_iterations,
                       out.key.data, sizeof out.key.data))
        return failed(fault::key_derivation);
    return status_ok();
}

cipher_ctx_ptr start_ctr(const unsigned char *key, const unsigned char *iv, int direction) {
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit(ctx.get(), EVP_aes_256_ctr(), key, iv, direction) != 1)
        return nullptr;
    return ctx;
}

bool ctr_update(EVP_CIPHER_CTX *ctx, const unsigned char *in, std::size_t length,
                unsigned char *out) {
    int done = 0;
    if (length > INT_MAX ||
        EVP_CipherUpdate(ctx, out, &done, in, static_cast<int>(length)) != 1 ||
        static_cast<std::size_t>(done) != length)
        return false;
    return true;
}

bool ctr_final(EVP_CIPHER_CTX *ctx) {
    unsigned char none[EVP_MAX_BLOCK_LENGTH];
    int final_len = 0;
    return EVP_CipherFinal(ctx, none, &final_len) == 1 && final_len == 0;
}

mac_ctx_ptr start_mac(const unsigned char *key, std::size_t key_len) {
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    mac_ctx_ptr ctx(hmac != nullptr ? EVP_MAC_CTX_new(hmac) : nullptr);
    EVP_MAC_free(hmac);
    char digest[] = "SHA512";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end()};
    if (!ctx || EVP_MAC_init(ctx.get(), key, key_len, params) != 1) return nullptr;
    return ctx;
}

bool mac_update(EVP_MAC_CTX *ctx, const unsigned char *data, std::size_t len) {
    return EVP_MAC_update(ctx, data, len) == 1;
}

bool finish_mac(EVP_MAC_CTX *ctx, unsigned char *mac) {
    std::size_t mac_len = 0;
    return EVP_MAC_final(ctx, mac, &mac_len, fmt::mac_size) == 1 && mac_len == fmt::mac_size;
}
