// Encryption and decryption: primitives against published numbers, round
// trips, tampering, refusals, temporary files, and containers exchanged with
// the openssl command-line tool.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "container/container.h"
#include "container/crypt.h"
#include "container/crypt_internal.h"
#include "container/format.h"
#include "container_support.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

using namespace container_test;
namespace fmt = container_format;

namespace {

// Runs `call` and returns what it printed on standard error.
template <typename F>
std::string stderr_of(F call) {
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
}

// Standard output of a shell command that must succeed.
std::string sh(const std::string &command) {
    harness::command_result r = harness::run_shell(command);
    EXPECT_EQ(r.status, 0) << command;
    return r.output;
}

// The container key as the openssl tool derives it, in hex.
std::string openssl_key_hex(const std::string &password, const std::string &salt) {
    std::string out = sh("openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexpass:" +
                         to_hex(password) + " -kdfopt hexsalt:" + to_hex(salt) +
                         " -kdfopt iter:200000 PBKDF2");
    std::string hex;
    for (char c : out)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(std::tolower(c));
    return hex;
}

const char tampered[] = "Invalid password or tampered data. Aborted.\n";

// OpenSSL's one-shot calls, as a reference beside the chunked path.
std::string one_call_hmac(const unsigned char *key, const std::string &data) {
    unsigned char mac[64];
    unsigned int length = 0;
    HMAC(EVP_sha512(), key, 32, bytes(data), data.size(), mac, &length);
    return as_string(mac, length);
}

std::string one_call_ctr(const unsigned char *key, const std::string &iv, const std::string &in) {
    std::string out(in.size(), '\0');
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key, bytes(iv));
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n, bytes(in),
                      static_cast<int>(in.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}
const char not_a_container[] = "File is already decrypted or malformed?\n";

}  // namespace

// --- primitives -----------------------------------------------------------

TEST(CryptPrimitives, AesCtrMatchesNistSp800_38aF55) {
    std::string key = from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    std::string iv = from_hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    std::string plain = from_hex(
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    std::string cipher = from_hex(
        "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
        "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6");

    // In two pieces that split a block: the counter runs on from one
    // update to the next, as it does from chunk to chunk.
    unsigned char out[64];
    cipher_ctx_ptr ctx = start_ctr(bytes(key), bytes(iv), 1);
    ASSERT_TRUE(ctx);
    ASSERT_TRUE(ctr_update(ctx.get(), bytes(plain), 17, out));
    ASSERT_TRUE(ctr_update(ctx.get(), bytes(plain) + 17, 47, out + 17));
    ASSERT_TRUE(ctr_final(ctx.get()));
    EXPECT_EQ(to_hex(as_string(out, 64)), to_hex(cipher));

    // Decryption in place, and a partial last block.
    std::string buf = cipher.substr(0, 37);
    auto p = reinterpret_cast<unsigned char *>(buf.data());
    ctx = start_ctr(bytes(key), bytes(iv), 0);
    ASSERT_TRUE(ctx);
    ASSERT_TRUE(ctr_update(ctx.get(), p, 37, p));
    ASSERT_TRUE(ctr_final(ctx.get()));
    EXPECT_EQ(to_hex(buf), to_hex(plain.substr(0, 37)));
}

TEST(CryptPrimitives, HmacSha512MatchesRfc4231) {
    struct {
        std::string key, data, mac;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
         "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
        {"Jefe", "what do ya want for nothing?",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
         "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
    };
    for (const auto &c : cases) {
        // Fed in two pieces, as the chunks of a file are.
        unsigned char mac[64];
        mac_ctx_ptr ctx = start_mac(bytes(c.key), c.key.size());
        ASSERT_TRUE(ctx);
        ASSERT_TRUE(mac_update(ctx.get(), bytes(c.data), 3));
        ASSERT_TRUE(mac_update(ctx.get(), bytes(c.data) + 3, c.data.size() - 3));
        ASSERT_TRUE(finish_mac(ctx.get(), mac));
        EXPECT_EQ(to_hex(as_string(mac, 64)), c.mac);
    }
}

TEST(CryptPrimitives, Pbkdf2Sha256MatchesPublishedVectors) {
    unsigned char out[32];
    std::string salt = "salt";
    ASSERT_TRUE(pbkdf2_sha256("password", bytes(salt), salt.size(), 1, out, 32));
    EXPECT_EQ(to_hex(as_string(out, 32)),
              "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
    ASSERT_TRUE(pbkdf2_sha256("password", bytes(salt), salt.size(), 4096, out, 32));
    EXPECT_EQ(to_hex(as_string(out, 32)),
              "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
}

TEST(CryptPrimitives, DeriveKeyMatchesOpensslAndDrawsFreshSalts) {
    std::string salt = pseudo_random_bytes(64, 7);
    key_material km;
    ASSERT_TRUE(derive_key("pässwörd", bytes(salt), km));
    EXPECT_EQ(as_string(km.salt.data, 64), salt);
    EXPECT_EQ(to_hex(as_string(km.key.data, 32)), openssl_key_hex("pässwörd", salt));

    key_material a, b;
    ASSERT_TRUE(derive_key("", nullptr, a));
    ASSERT_TRUE(derive_key("", nullptr, b));
    EXPECT_NE(as_string(a.salt.data, 64), as_string(b.salt.data, 64));
    EXPECT_NE(as_string(a.key.data, 32), as_string(b.key.data, 32));
}

TEST(CryptPrimitives, RandomSourceNeverYieldsFewerBytesThanAsked) {
    scratch_dir dir;
    std::string short_device = dir.file("urandom");
    write_file(short_device, std::string(10, 'r'));
    unsigned char buf[16];
    EXPECT_EQ(message(read_random_bytes(buf, sizeof buf, short_device.c_str())),
              "Short read from " + short_device + ".\n");
    EXPECT_EQ(message(read_random_bytes(buf, sizeof buf, dir.file("none").c_str())),
              "Cannot open /dev/urandom\n");
    EXPECT_TRUE(read_random_bytes(buf, sizeof buf));
}

// --- round trips ----------------------------------------------------------

TEST(CryptRoundTrip, EmptyFileBecomesABareTrailerAndComesBack) {
    scratch_dir dir;
    std::string f = dir.file("empty.db");
    write_file(f, "");
    ASSERT_TRUE(encrypt_file("", f.c_str())) << "an empty password is a password";
    std::string c = read_file(f);
    ASSERT_EQ(c.size(), 148u);
    EXPECT_EQ(c.substr(0, 4), "FuI3");
    EXPECT_TRUE(is_encrypted_file(f.c_str()));

    EXPECT_EQ(message(decrypt_file("x", f.c_str())), tampered);
    ASSERT_TRUE(decrypt_file("", f.c_str()));
    EXPECT_EQ(read_file(f), "");
    EXPECT_EQ(file_mode(f), 0600);
}

TEST(CryptRoundTrip, RealDatabaseAndLargeFile) {
    scratch_dir dir;
    std::string db = dir.file("vault.db");
    make_sqlite_db(db);
    ::chmod(db.c_str(), 0644);
    std::string plain = read_file(db);
    ASSERT_GT(plain.size(), 0u);

    ASSERT_TRUE(encrypt_file("correct horse", db.c_str()));
    EXPECT_EQ(file_mode(db), 0600) << "the container is private from the start";
    EXPECT_EQ(read_file(db).size(), plain.size() + 148);
    EXPECT_EQ(read_file(db).find("s3cr3t"), std::string::npos);
    ASSERT_TRUE(decrypt_file("correct horse", db.c_str()));
    EXPECT_EQ(read_file(db), plain);
    EXPECT_EQ(file_mode(db), 0600);

    std::string big = dir.file("big");
    std::string big_plain = pseudo_random_bytes(64u << 20, 3);
    write_file(big, big_plain);
    ASSERT_TRUE(encrypt_file("pw", big.c_str()));
    ASSERT_TRUE(decrypt_file("pw", big.c_str()));
    EXPECT_TRUE(read_file(big) == big_plain);
    EXPECT_FALSE(exists(big + ".kesp") || exists(big + ".plain") || exists(db + ".kesp") ||
                 exists(db + ".plain"));
}

TEST(CryptRoundTrip, EveryEncryptionHasItsOwnSaltAndIv) {
    scratch_dir dir;
    std::string a = dir.file("a"), b = dir.file("b");
    std::string plain = pseudo_random_bytes(5000, 9);
    write_file(a, plain);
    write_file(b, plain);
    ASSERT_TRUE(encrypt_file("same", a.c_str()));
    ASSERT_TRUE(encrypt_file("same", b.c_str()));
    std::string ca = read_file(a), cb = read_file(b);
    std::size_t n = plain.size();
    EXPECT_NE(ca.substr(n + 4, 16), cb.substr(n + 4, 16)) << "IV";
    EXPECT_NE(ca.substr(n + 20, 64), cb.substr(n + 20, 64)) << "salt";
    EXPECT_NE(ca.substr(0, n), cb.substr(0, n));
    ASSERT_TRUE(decrypt_file("same", a.c_str()));
    ASSERT_TRUE(decrypt_file("same", b.c_str()));
    EXPECT_TRUE(read_file(a) == plain && read_file(b) == plain);
}

TEST(CryptRoundTrip, RestrictiveUmaskStillGivesTheOwnerReadAndWrite) {
    scratch_dir dir;
    std::string f = dir.file("db");
    write_file(f, "plain bytes");
    mode_t old = ::umask(0377);
    bool encrypted = encrypt_file("pw", f.c_str()).ok();
    int after_encrypt = file_mode(f);
    bool decrypted = decrypt_file("pw", f.c_str()).ok();
    ::umask(old);
    ASSERT_TRUE(encrypted && decrypted);
    EXPECT_EQ(after_encrypt, 0600u);
    EXPECT_EQ(file_mode(f), 0600);
    EXPECT_EQ(read_file(f), "plain bytes");
}

// --- damaged containers and wrong passwords --------------------------------

class CryptTamper : public testing::Test {
protected:
    void SetUp() override {
        path = dir.file("vault");
        plain = pseudo_random_bytes(1000, 5);
        write_file(path, plain);
        ASSERT_TRUE(encrypt_file("pw", path.c_str()));
        container = read_file(path);
    }

    // Decrypts `damaged` and expects `message` alone, the file unchanged
    // byte for byte and no temporary file.
    void expect_rejected(const std::string &damaged, const std::string &message,
                         const std::string &what, const char *password = "pw") {
        write_file(path, damaged);
        std::string err = ::message(decrypt_file(password, path.c_str()));
        EXPECT_EQ(err, message) << what;
        EXPECT_TRUE(read_file(path) == damaged) << what;
        EXPECT_FALSE(exists(path + ".plain")) << what;
    }

    scratch_dir dir;
    std::string path, plain, container;
};

TEST_F(CryptTamper, EveryByteOfIvSaltAndMacAndSampledCiphertext) {
    std::size_t n = plain.size();
    std::vector<std::size_t> positions = {0, 1, 15, 16, 499, n - 1};
    for (std::size_t i = n + fmt::iv_offset; i < n + fmt::trailer_size; ++i) positions.push_back(i);
    for (std::size_t pos : positions) {
        std::string damaged = container;
        damaged[pos] = static_cast<char>(damaged[pos] ^ (pos % 2 ? 0x01 : 0x80));
        expect_rejected(damaged, tampered, "byte " + std::to_string(pos));
    }
}

TEST_F(CryptTamper, ChangedMagicOrLengthIsNoContainer) {
    std::size_t n = plain.size();
    for (std::size_t i = 0; i < 4; ++i) {
        std::string damaged = container;
        damaged[n + i] = 'x';
        expect_rejected(damaged, not_a_container, "magic byte " + std::to_string(i));
    }
    for (std::size_t cut = 1; cut <= 4; ++cut)
        expect_rejected(container.substr(0, container.size() - cut), not_a_container,
                        "cut " + std::to_string(cut));
    expect_rejected(container + '\0', not_a_container, "one byte appended");
}

TEST_F(CryptTamper, WrongPasswordAndSwappedTrailer) {
    expect_rejected(container, tampered, "wrong password", "PW");
    expect_rejected(container, tampered, "empty password", "");

    // A trailer from another container over this ciphertext.
    std::string other_path = dir.file("other");
    write_file(other_path, plain);
    ASSERT_TRUE(encrypt_file("pw", other_path.c_str()));
    std::string other = read_file(other_path);
    std::size_t n = plain.size();
    expect_rejected(container.substr(0, n) + other.substr(n), tampered, "foreign trailer");

    write_file(path, container);
    ASSERT_TRUE(decrypt_file("pw", path.c_str()));
    EXPECT_TRUE(read_file(path) == plain);
}

// --- refusals -------------------------------------------------------------

TEST(CryptRefusal, WrongKindOfFileOrMissingFile) {
    scratch_dir dir;
    std::string missing = dir.file("missing");
    EXPECT_EQ(message(encrypt_file("pw", missing.c_str())),
              "Failed to open file.\nUnable to open " + missing + "\n");
    EXPECT_EQ(message(decrypt_file("pw", missing.c_str())),
              "Failed to open file.\n" + std::string(not_a_container));
    EXPECT_FALSE(exists(missing) || exists(missing + ".kesp") || exists(missing + ".plain"));

    std::string f = dir.file("db");
    write_file(f, "plain");
    EXPECT_EQ(message(decrypt_file("pw", f.c_str())), not_a_container);
    ASSERT_TRUE(encrypt_file("pw", f.c_str()));
    std::string c = read_file(f);
    EXPECT_EQ(message(encrypt_file("pw", f.c_str())),
              "File is already encrypted.\n");
    EXPECT_TRUE(read_file(f) == c);
    EXPECT_FALSE(exists(f + ".kesp"));

    std::string err = message(encrypt_file("pw", dir.path().c_str()));
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
}

TEST(CryptRefusal, FilesBeyondTheSizeLimitAreRefusedBeforeAnyWork) {
    scratch_dir dir;
    // Sparse files: nothing is written to disk, and nothing may be read.
    std::string plain = dir.file("huge.db");
    write_file(plain, "");
    ASSERT_EQ(::truncate(plain.c_str(), fmt::max_plain_size + 1), 0);
    std::string err = message(encrypt_file("pw", plain.c_str()));
    EXPECT_EQ(err, plain + " is too large to encrypt: at most 2147483499 bytes fit a container.\n");
    EXPECT_FALSE(exists(plain + ".kesp"));

    std::string container = dir.file("huge.container");
    write_file(container, "");
    off_t size = fmt::max_container_size + 1;
    ASSERT_EQ(::truncate(container.c_str(), size), 0);
    {
        std::FILE *f = std::fopen(container.c_str(), "r+b");
        ASSERT_TRUE(f);
        std::fseek(f, static_cast<long>(size - 148), SEEK_SET);
        std::fwrite("FuI3", 1, 4, f);
        std::fclose(f);
    }
    ASSERT_TRUE(is_encrypted_file(container.c_str()));
    err = message(decrypt_file("pw", container.c_str()));
    EXPECT_EQ(err, container + " is too large for a container: at most 2147483647 bytes.\n");
    EXPECT_FALSE(exists(container + ".plain"));
}

// --- temporary files --------------------------------------------------------

TEST(CryptTempFiles, LeftoversAreReplacedAndPlantedSymlinksNeverFollowed) {
    scratch_dir dir;
    std::string f = dir.file("db"), victim = dir.file("victim");
    write_file(f, "the database");
    write_file(victim, "not yours");
    ::chmod(victim.c_str(), 0644);

    write_file(f + ".kesp", "leftover of a crash, longer than the new container will be");
    ASSERT_TRUE(encrypt_file("pw", f.c_str()));
    EXPECT_FALSE(exists(f + ".kesp"));
    ASSERT_EQ(::symlink(victim.c_str(), (f + ".plain").c_str()), 0);
    ASSERT_TRUE(decrypt_file("pw", f.c_str()));
    EXPECT_EQ(read_file(f), "the database");
    EXPECT_FALSE(exists(f + ".plain"));

    ASSERT_EQ(::symlink(victim.c_str(), (f + ".kesp").c_str()), 0);
    ASSERT_TRUE(encrypt_file("pw", f.c_str()));
    EXPECT_FALSE(exists(f + ".kesp"));
    write_file(f + ".plain", "leftover");
    ASSERT_TRUE(decrypt_file("pw", f.c_str()));
    EXPECT_EQ(read_file(f), "the database");
    EXPECT_FALSE(exists(f + ".plain"));

    EXPECT_EQ(read_file(victim), "not yours");
    EXPECT_EQ(file_mode(victim), 0644);
}

TEST(CryptTempFiles, UnusableTemporaryNameFailsCleanly) {
    scratch_dir dir;
    std::string f = dir.file("db");
    write_file(f, "the database");
    // Something in the way of the name the new file would get while it is
    // written: only the named fallback uses that name before the end.
    std::string in_the_way = f + ".new." + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(in_the_way.c_str(), 0700), 0);
    ::setenv("KESP_TEST_NAMED_TEMP", "1", 1);
    EXPECT_EQ(message(encrypt_file("pw", f.c_str())),
              "Unable to open " + f + ".kesp for writing.\n");
    ::unsetenv("KESP_TEST_NAMED_TEMP");
    EXPECT_EQ(read_file(f), "the database");
    // The unnamed file gets that name only at the end: in the way then, it
    // fails as cleanly. The name messages give the new file is in nobody's way.
    EXPECT_EQ(message(encrypt_file("pw", f.c_str())),
              "Unable to replace " + f + " by " + f + ".kesp: File exists\n");
    EXPECT_EQ(read_file(f), "the database");
    ASSERT_EQ(::rmdir(in_the_way.c_str()), 0);
    ASSERT_EQ(::mkdir((f + ".kesp").c_str(), 0700), 0);
    EXPECT_TRUE(encrypt_file("pw", f.c_str()));
}

// --- the openssl tool on the other side -----------------------------------

TEST(CryptInterop, ContainerBuiltWithOpensslDecrypts) {
    scratch_dir dir;
    std::string db = dir.file("vault.db");
    make_sqlite_db(db);
    std::string plain = read_file(db);
    std::string password = "hunter2 ünïcode", salt = pseudo_random_bytes(64, 11),
                iv = pseudo_random_bytes(16, 12);
    std::string key = openssl_key_hex(password, salt);
    ASSERT_EQ(key.size(), 64u);

    std::string cipher = sh("openssl enc -aes-256-ctr -K " + key + " -iv " + to_hex(iv) +
                            " -in " + db);
    ASSERT_EQ(cipher.size(), plain.size());
    std::string body = dir.file("body");
    write_file(body, cipher + "FuI3" + iv + salt);
    std::string mac = sh("openssl dgst -sha512 -binary -mac HMAC -macopt hexkey:" + key + " " + body);
    ASSERT_EQ(mac.size(), 64u);
    write_file(db, read_file(body) + mac);

    ASSERT_TRUE(decrypt_file(password.c_str(), db.c_str()));
    EXPECT_TRUE(read_file(db) == plain);
}

TEST(CryptInterop, OpensslVerifiesAndDecryptsOurContainer) {
    scratch_dir dir;
    std::string db = dir.file("vault.db");
    make_sqlite_db(db);
    std::string plain = read_file(db);
    ASSERT_TRUE(encrypt_file("s3cret pass", db.c_str()));

    std::string c = read_file(db);
    std::size_t n = c.size() - 148;
    std::string iv = c.substr(n + 4, 16), salt = c.substr(n + 20, 64), mac = c.substr(n + 84);
    std::string key = openssl_key_hex("s3cret pass", salt);
    std::string body = dir.file("body"), cipher = dir.file("cipher");
    write_file(body, c.substr(0, n + 84));
    write_file(cipher, c.substr(0, n));
    EXPECT_EQ(to_hex(sh("openssl dgst -sha512 -binary -mac HMAC -macopt hexkey:" + key + " " + body)),
              to_hex(mac));
    EXPECT_TRUE(sh("openssl enc -d -aes-256-ctr -K " + key + " -iv " + to_hex(iv) + " -in " +
                   cipher) == plain);
}

// --- chunk boundaries -------------------------------------------------------

// Containers are read and written a chunk at a time; the counter and the MAC
// must run on across chunks exactly as one pass over the whole file would.
// Each side is checked against OpenSSL called in one go by the test itself.
TEST(CryptChunks, SizesAroundChunkBoundariesMatchOneCallEncryption) {
    const std::size_t chunk = crypt_chunk_size;
    const std::size_t sizes[] = {0, 1, 15, chunk - 1, chunk, chunk + 1, 3 * chunk + 17};
    scratch_dir dir;
    std::string path = dir.file("db");
    for (std::size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string plain = pseudo_random_bytes(size, size + 1);

        // Ours, checked by one-call derivation, MAC and decryption.
        write_file(path, plain);
        ASSERT_TRUE(encrypt_file("pw", path.c_str()));
        std::string c = read_file(path);
        ASSERT_EQ(c.size(), size + 148);
        std::string iv = c.substr(size + 4, 16), salt = c.substr(size + 20, 64);
        unsigned char key[32];
        ASSERT_TRUE(pbkdf2_sha256("pw", bytes(salt), 64, 200000, key, sizeof key));
        EXPECT_EQ(to_hex(one_call_hmac(key, c.substr(0, size + 84))), to_hex(c.substr(size + 84)));
        EXPECT_TRUE(one_call_ctr(key, iv, c.substr(0, size)) == plain);

        // One-call encryption, decrypted by ours.
        std::string body = one_call_ctr(key, iv, plain) + "FuI3" + iv + salt;
        write_file(path, body + one_call_hmac(key, body));
        ASSERT_TRUE(decrypt_file("pw", path.c_str()));
        EXPECT_TRUE(read_file(path) == plain);
    }
}

// --- through memory ---------------------------------------------------------

// What encrypt_to_file writes, decrypt_file and decrypt_to_memory read back;
// a wrong password is told apart without a word, and the file stays.
TEST(CryptMemory, RoundTripsAndTellsAWrongPasswordQuietly) {
    scratch_dir dir;
    const std::size_t sizes[] = {0, 1, crypt_chunk_size + 5};
    for (std::size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string plain = pseudo_random_bytes(size, size + 3);
        std::string path = dir.file("m" + std::to_string(size));
        ASSERT_TRUE(encrypt_to_file("pw", bytes(plain), size, path.c_str(), true));
        EXPECT_EQ(file_mode(path), 0600u);
        std::string container = read_file(path);
        ASSERT_EQ(container.size(), size + 148);

        decrypted d = decrypt_to_memory("pw", path.c_str());
        ASSERT_EQ(d.status, decrypt_status::ok);
        EXPECT_TRUE(as_string(d.plain->data(), d.plain->size()) == plain);
        EXPECT_EQ(decrypt_to_memory("wrong", path.c_str()).status,
                  decrypt_status::wrong_password);
        EXPECT_TRUE(read_file(path) == container);
        ASSERT_TRUE(decrypt_file("pw", path.c_str()));
        EXPECT_TRUE(read_file(path) == plain);
    }
}

// The high-water mark of this process's memory, in KiB.
long peak_kib() {
    FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(status);
    return kib;
}

// A container is decrypted where it was read: its bytes are never held
// twice, so a big database opens in the memory of one copy.
TEST(CryptMemory, AContainerIsHeldOnceWhileDecrypted) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's allocator keeps memory of its own";
#endif
    scratch_dir dir;
    const std::size_t size = std::size_t(48) << 20;
    const std::string path = dir.file("big");
    {
        std::string plain = pseudo_random_bytes(size, 7);
        ASSERT_TRUE(encrypt_to_file("pw", bytes(plain), size, path.c_str(), true));
    }
    // In a child of its own, whose high-water mark starts where it is.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const long before = peak_kib();
        decrypted d = decrypt_to_memory("pw", path.c_str());
        const long grown = peak_kib() - before;
        const bool once = d.status == decrypt_status::ok && before > 0 &&
                          grown < static_cast<long>(size / 1024 * 3 / 2);
        if (!once) std::fprintf(stderr, "grew by %ld KiB for a %zu KiB container\n", grown, size / 1024);
        ::_exit(once ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(CryptMemory, NewFileNeverReplacesOneAndReplacementDoes) {
    scratch_dir dir;
    std::string path = dir.file("db");
    write_file(path, "old");
    const status taken = encrypt_to_file("pw", bytes("new"), 3, path.c_str(), true);
    EXPECT_EQ(taken.what, fault::name_taken);
    EXPECT_EQ(taken.code, EEXIST);
    EXPECT_EQ(message(taken), "") << "the caller says it in its own words";
    EXPECT_EQ(read_file(path), "old");

    ASSERT_TRUE(encrypt_to_file("pw", bytes("new"), 3, path.c_str(), false));
    decrypted d = decrypt_to_memory("pw", path.c_str());
    ASSERT_EQ(d.status, decrypt_status::ok);
    EXPECT_EQ(as_string(d.plain->data(), d.plain->size()), "new");

    // A plain file is no container: refused with the usual message.
    write_file(path, "plain");
    decrypted plain = decrypt_to_memory("pw", path.c_str());
    EXPECT_EQ(plain.status, decrypt_status::failed);
    EXPECT_EQ(message(plain.why), not_a_container);
}

// What a process killed outright left beside the file under a name of its
// own (where no unnamed file could be made) holds the plain database: the
// next encryption or decryption of that file removes it, and only it.
TEST(CryptTempFiles, LeftoversOfKilledProcessesAreRemovedAndOnlyThey) {
    scratch_dir dir;
    const std::string f = dir.file("db");
    write_file(f, "the database");
    const std::string dead = f + ".new.999999999", live = f + ".new.1", other = f + ".new.12x";
    for (const std::string &name : {dead, live, other}) write_file(name, "plain leftover");
    const std::string link = f + ".new.999999998";
    ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), link.c_str()), 0);
    EXPECT_EQ(stderr_of([&] { EXPECT_TRUE(encrypt_file("pw", f.c_str())); }),
              "Removed " + f + ".new.999999999, left behind by a process that was killed while "
              "writing it.\n");
    EXPECT_FALSE(exists(dead));
    EXPECT_TRUE(exists(live)) << "process 1 is alive";
    EXPECT_TRUE(exists(other));
    struct stat st;
    EXPECT_EQ(::lstat(link.c_str(), &st), 0) << "a link is left alone";
}

// What the container meets comes back as a value, in the words kesp prints
// for it, naming the file; nothing is printed where it is found. One key
// derivation for the table: opened and sealed with that key.
TEST(CryptStatus, EachFailureComesBackInKespsWords) {
    scratch_dir dir;
    container_key key;
    ASSERT_TRUE(derive_container_key("pw", nullptr, key));
    const std::string good = dir.file("good");
    ASSERT_TRUE(seal_with_key(key, bytes("plain"), 5, good.c_str(), true));
    const std::string sealed = read_file(good);
    struct given {
        const char *name;
        std::string path;
        std::string bytes;  // written at path first, unless empty
        decrypt_status opened;
        fault what;
        std::string words;
    };
    std::string damaged = sealed;
    damaged[0] ^= 1;
    const std::string missing = dir.file("missing"), folder = dir.file("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const given cases[] = {
        {"damaged MAC", dir.file("damaged"), damaged, decrypt_status::wrong_password,
         fault::wrong_password, "Invalid password or tampered data. Aborted.\n"},
        {"short file", dir.file("short"), sealed.substr(1, 100), decrypt_status::failed,
         fault::not_a_container, not_a_container},
        {"missing file", missing, "", decrypt_status::failed, fault::cannot_detect,
         "Failed to open file.\n" + std::string(not_a_container)},
        {"a folder", folder, "", decrypt_status::failed, fault::not_a_container, not_a_container},
    };
    for (const given &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.bytes.empty()) write_file(c.path, c.bytes);
        decrypted d = decrypt_to_memory_with_key(key, c.path.c_str());
        EXPECT_EQ(d.status, c.opened);
        EXPECT_EQ(d.why.what, c.what);
        EXPECT_EQ(d.why.file, c.path);
        EXPECT_EQ(message(d.why), c.words);
    }

    // Sealing where no new file can be made: the folder is not there.
    const std::string nowhere = dir.file("gone/db");
    status s = seal_with_key(key, bytes("plain"), 5, nowhere.c_str());
    EXPECT_EQ(s.what, fault::cannot_create);
    EXPECT_EQ(message(s), "Unable to open " + nowhere + ".kesp for writing.\n");
    // A folder where the new file is to take its name.
    s = seal_with_key(key, bytes("plain"), 5, folder.c_str());
    EXPECT_EQ(s.what, fault::cannot_replace);
    EXPECT_EQ(message(s), "Unable to replace " + folder + " by " + folder +
                              ".kesp: Is a directory\n");
    EXPECT_EQ(read_file(good), sealed) << "nothing else touched";
    // The program prints; the container does not.
    EXPECT_EQ(stderr_of([&] { EXPECT_FALSE(decrypt_file("pw", missing.c_str())); }), "");
}
