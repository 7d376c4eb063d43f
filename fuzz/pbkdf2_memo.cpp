// Linked into the container fuzz targets with -Wl,--wrap=PKCS5_PBKDF2_HMAC:
// a key derivation of 200000 iterations takes a tenth of a second, so each
// distinct (password, salt) pair is derived once by the real function and
// remembered. The results are the real ones; only repeats are skipped.
#include <map>
#include <string>

#include <openssl/evp.h>

extern "C" int __real_PKCS5_PBKDF2_HMAC(const char *pass, int passlen, const unsigned char *salt,
                                        int saltlen, int iter, const EVP_MD *digest, int keylen,
                                        unsigned char *out);

extern "C" int __wrap_PKCS5_PBKDF2_HMAC(const char *pass, int passlen, const unsigned char *salt,
                                        int saltlen, int iter, const EVP_MD *digest, int keylen,
                                        unsigned char *out) {
    static std::map<std::string, std::string> known;
    if (passlen < 0 || saltlen < 0 || keylen <= 0)
        return __real_PKCS5_PBKDF2_HMAC(pass, passlen, salt, saltlen, iter, digest, keylen, out);

    std::string id = std::string(pass, static_cast<std::size_t>(passlen)) + '\0' +
                     std::string(reinterpret_cast<const char *>(salt),
                                 static_cast<std::size_t>(saltlen)) +
                     '\0' + std::to_string(iter) + '\0' + EVP_MD_get0_name(digest) + '\0' +
                     std::to_string(keylen);
    auto found = known.find(id);
    if (found == known.end()) {
        std::string key(static_cast<std::size_t>(keylen), '\0');
        if (__real_PKCS5_PBKDF2_HMAC(pass, passlen, salt, saltlen, iter, digest, keylen,
                                     reinterpret_cast<unsigned char *>(key.data())) != 1)
            return 0;
        if (known.size() >= 4096) known.clear();
        found = known.emplace(std::move(id), std::move(key)).first;
    }
    found->second.copy(reinterpret_cast<char *>(out), found->second.size());
    return 1;
}
