// Containers with a valid MAC around fuzzer-chosen plain text and IV, built
// here with OpenSSL directly, then damaged in a fuzzer-chosen way or not at
// all. This reaches past the MAC check: an intact container must decrypt to
// exactly its plain text with mode 0600; any damage must be refused with the
// file unchanged and no temporary file left.
#include <cstdint>
#include <cstring>
#include <string>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "container/crypt.h"
#include "container/format.h"
#include "fuzz_check.h"
#include "fuzz_files.h"
#include "state/files.h"

namespace {

const char *const password = "fuzz password";

// Input: [mode][parameter][IV, 16 bytes][plain text...]
enum mode : std::uint8_t { intact, flipped_bit, cut, lengthened, wrong_password, leftovers, modes };

const std::string &salt() {
    static const std::string bytes = [] {
        std::string s(64, '\0');
        for (int i = 0; i < 64; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(i * 37 + 11);
        return s;
    }();
    return bytes;
}

// The key of `salt()` under `password`, derived once per process.
const unsigned char *key() {
    static unsigned char derived[32];
    static bool done = [] {
        return PKCS5_PBKDF2_HMAC(password, static_cast<int>(std::strlen(password)),
                                 reinterpret_cast<const unsigned char *>(salt().data()), 64,
                                 200000, EVP_sha256(), 32, derived) == 1;
    }();
    FUZZ_CHECK(done);
    return derived;
}

std::string build_container(const std::string &plain, const unsigned char *iv) {
    std::string out(plain.size(), '\0');
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    FUZZ_CHECK(ctx && EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key(), iv) == 1);
    FUZZ_CHECK(EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &len,
                                 reinterpret_cast<const unsigned char *>(plain.data()),
                                 static_cast<int>(plain.size())) == 1);
    FUZZ_CHECK(static_cast<std::size_t>(len) == plain.size());
    EVP_CIPHER_CTX_free(ctx);

    out += "FuI3";
    out.append(reinterpret_cast<const char *>(iv), 16);
    out += salt();
    unsigned char mac[64];
    unsigned int mac_len = 0;
    FUZZ_CHECK(HMAC(EVP_sha512(), key(), 32, reinterpret_cast<const unsigned char *>(out.data()),
                    out.size(), mac, &mac_len) != nullptr && mac_len == 64);
    out.append(reinterpret_cast<const char *>(mac), 64);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::uint8_t header[18] = {};
    std::memcpy(header, data, size < sizeof header ? size : sizeof header);
    const auto chosen = static_cast<mode>(header[0] % modes);
    const std::uint8_t parameter = header[1];
    const std::string plain = size > sizeof header
        ? std::string(reinterpret_cast<const char *>(data) + sizeof header, size - sizeof header)
        : std::string();

    const std::string path = fuzz::work_folder() + "/c";
    std::string container = build_container(plain, header + 2);
    switch (chosen) {
    case flipped_bit: {
        // Anywhere in the file, weighted towards the trailer.
        std::size_t at = parameter < 148 ? container.size() - 1 - parameter
                                         : (parameter * 7919u) % container.size();
        container[at] = static_cast<char>(container[at] ^ (1 << (parameter % 8)));
        break;
    }
    case cut:
        container.resize(container.size() - 1 - parameter % container.size());
        break;
    case lengthened:
        container += container.substr(0, 1 + parameter % container.size());
        break;
    case leftovers:
        fuzz::write_whole(path + ".plain", "stale plain");
        fuzz::write_whole(path + ".kesp", "stale container");
        break;
    default:
        break;
    }
    fuzz::write_whole(path, container);

    // A file that starts with SQLite's header is a plain database, whatever
    // its end says. Written with a random IV, a container starts so once in
    // 2^128; with the IV and the plain text its own, the fuzzer finds one.
    const bool looks_plain =
        starts_with_sqlite_header(container.data(), container.size());
    const bool expect_success = (chosen == intact || chosen == leftovers) && !looks_plain;
    bool ok = decrypt_file(chosen == wrong_password ? "wrong" : password, path.c_str()).ok();
    FUZZ_CHECK(ok == expect_success);
    if (ok) {
        FUZZ_CHECK(fuzz::read_whole(path) == plain);
        FUZZ_CHECK(fuzz::mode_of(path) == 0600);
    } else {
        FUZZ_CHECK(fuzz::read_whole(path) == container);
    }
    if (ok || chosen != leftovers) {
        FUZZ_CHECK(!fuzz::exists(path + ".plain"));
    } else {
        // Refused before it was read as a container: nothing is touched,
        // not even a stale temporary file.
        FUZZ_CHECK(fuzz::read_whole(path + ".plain") == "stale plain");
        ::unlink((path + ".plain").c_str());
    }
    ::unlink((path + ".kesp").c_str());
    return 0;
}
