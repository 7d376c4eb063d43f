// Keys derived ahead: each (password, salt) pair derived once, the very key
// the container's own derivation gives, found only for its own password and
// salt, fresh keys handed out once, and containers opened and sealed with
// them exactly as without.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "container/crypt.h"
#include "container/crypt_internal.h"
#include "container/format.h"
#include "container/keys.h"
#include "container_support.h"

using namespace container_test;
namespace fmt = container_format;

namespace {

// The salt in the trailer of the container at `path`.
std::string salt_of(const std::string &path) {
    std::string c = read_file(path);
    return c.substr(c.size() - fmt::trailer_size + fmt::salt_offset, fmt::salt_size);
}

// The key the container's own derivation gives.
std::string reference_key(const char *password, const std::string &salt) {
    key_material km;
    EXPECT_TRUE(derive_key(password, bytes(salt), km));
    return as_string(km.key.data, fmt::key_size);
}

struct sealed_copies {
    scratch_dir dir;
    std::string a = dir.file("a"), b = dir.file("b"), same_as_a = dir.file("a2"),
                other_pw = dir.file("c");
    sealed_copies() {
        EXPECT_TRUE(encrypt_to_file("pw", bytes("first"), 5, a.c_str(), true));
        EXPECT_TRUE(encrypt_to_file("pw", bytes("second"), 6, b.c_str(), true));
        EXPECT_TRUE(encrypt_to_file("other", bytes("third"), 5, other_pw.c_str(), true));
        write_file(same_as_a, read_file(a));  // one salt in two files
    }
};

}  // namespace

// Pairs asked for more than once are derived once, on one thread or
// several alike, and each key is the one derive_key gives.
TEST(DerivedKeys, EachPairOnceAndTheSameKeyOnAnyNumberOfThreads) {
    sealed_copies files;
    for (unsigned threads : {1u, 2u, 4u}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        derived_keys keys;
        keys.want_for_file("pw", files.a.c_str());
        keys.want_for_file("pw", files.a.c_str());
        keys.want_for_file("pw", files.same_as_a.c_str());
        keys.want_for_file("pw", files.b.c_str());
        keys.want_for_file("other", files.b.c_str());
        ASSERT_TRUE(keys.derive(threads));
        EXPECT_EQ(keys.derivations(), 3u);
        ASSERT_TRUE(keys.derive(threads));  // nothing left to derive
        EXPECT_EQ(keys.derivations(), 3u);

        const struct {
            const char *password;
            std::string salt;
        } pairs[] = {{"pw", salt_of(files.a)}, {"pw", salt_of(files.b)},
                     {"other", salt_of(files.b)}};
        for (const auto &p : pairs) {
            const container_key *k = keys.find(p.password, bytes(p.salt));
            ASSERT_NE(k, nullptr);
            EXPECT_EQ(as_string(k->key.data, fmt::key_size), reference_key(p.password, p.salt));
        }
    }
}

// A key is found for its own password and salt only: another password, a
// password that only begins like it, or another salt finds nothing.
TEST(DerivedKeys, FoundOnlyForItsOwnPasswordAndSalt) {
    sealed_copies files;
    derived_keys keys;
    keys.want_for_file("pw", files.a.c_str());
    ASSERT_TRUE(keys.derive());
    const std::string salt_a = salt_of(files.a), salt_b = salt_of(files.b);
    EXPECT_NE(keys.find("pw", bytes(salt_a)), nullptr);
    EXPECT_EQ(keys.find("other", bytes(salt_a)), nullptr);
    EXPECT_EQ(keys.find("p", bytes(salt_a)), nullptr);
    EXPECT_EQ(keys.find("pw2", bytes(salt_a)), nullptr);
    EXPECT_EQ(keys.find("pw", bytes(salt_b)), nullptr);

    // Opened with the wrong password, the container still refuses it.
    EXPECT_EQ(decrypt_to_memory("other", files.a.c_str(), keys).status,
              decrypt_status::wrong_password);
}

// What is no container's trailer asks for nothing; opening it then says why.
TEST(DerivedKeys, NoContainerAsksForNothing) {
    scratch_dir dir;
    const std::string plain = dir.file("plain"), short_file = dir.file("short");
    make_sqlite_db(plain);
    write_file(short_file, "FuI3");
    derived_keys keys;
    for (const std::string &path : {plain, short_file, dir.file("missing"), dir.path()})
        keys.want_for_file("pw", path.c_str());
    ASSERT_TRUE(keys.derive());
    EXPECT_EQ(keys.derivations(), 0u);
}

// Opening with derived keys gives the same bytes; a key derived while
// opening is kept, so a second opening derives nothing.
TEST(DerivedKeys, OpeningTakesAndKeepsKeys) {
    sealed_copies files;
    derived_keys keys;
    decrypted first = decrypt_to_memory("pw", files.a.c_str(), keys);
    ASSERT_EQ(first.status, decrypt_status::ok);
    EXPECT_EQ(as_string(first.plain->data(), first.plain->size()), "first");
    EXPECT_EQ(keys.derivations(), 1u);
    ASSERT_NE(keys.find("pw", bytes(salt_of(files.a))), nullptr);

    keys.want_for_file("pw", files.same_as_a.c_str());
    keys.want_for_file("pw", files.b.c_str());
    ASSERT_TRUE(keys.derive());
    EXPECT_EQ(keys.derivations(), 2u);
    for (const std::string *path : {&files.a, &files.same_as_a, &files.b}) {
        decrypted d = decrypt_to_memory("pw", path->c_str(), keys);
        ASSERT_EQ(d.status, decrypt_status::ok);
    }
    EXPECT_EQ(keys.derivations(), 2u);
}

// A fresh key seals one container, under a salt of its own; the next
// container gets a key derived as it is sealed, with another salt. Both
// open without the derived keys.
TEST(DerivedKeys, AFreshKeySealsOneContainer) {
    scratch_dir dir;
    derived_keys keys;
    keys.want_fresh("pw");
    ASSERT_TRUE(keys.derive());
    EXPECT_EQ(keys.derivations(), 1u);
    container_key none;
    EXPECT_FALSE(keys.take_fresh("other", none));

    const std::string one = dir.file("one"), two = dir.file("two");
    ASSERT_TRUE(encrypt_to_file("pw", bytes("merged"), 6, one.c_str(), true, keys));
    ASSERT_TRUE(encrypt_to_file("pw", bytes("again"), 5, two.c_str(), true, keys));
    EXPECT_FALSE(keys.take_fresh("pw", none));
    EXPECT_NE(salt_of(one), salt_of(two));
    // A fresh salt is nobody's file salt: it is never found for opening.
    EXPECT_EQ(keys.find("pw", bytes(salt_of(one))), nullptr);

    decrypted d = decrypt_to_memory("pw", one.c_str());
    ASSERT_EQ(d.status, decrypt_status::ok);
    EXPECT_EQ(as_string(d.plain->data(), d.plain->size()), "merged");
    EXPECT_EQ(decrypt_to_memory("pw", two.c_str()).status, decrypt_status::ok);
}
