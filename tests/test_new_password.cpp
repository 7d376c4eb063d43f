// The agent given a master password changed on the other machine: taken
// only when the password it holds no longer opens its container and the
// one given does; then the copy takes in the container and later changes
// are sealed under the new password. Driven on the agent's files directly.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "agent/holder.h"
#include "agent/new_password.h"
#include "container/crypt.h"
#include "harness/harness.h"
#include "vault/kept_key.h"

namespace {

std::string titles_in(const std::string &container, const char *password,
                      const std::string &scratch) {
    decrypted d = decrypt_to_memory(password, container.c_str());
    if (d.status != decrypt_status::ok) return "<does not open>";
    harness::write_file(scratch, std::string(reinterpret_cast<const char *>(d.plain->data()),
                                             d.plain->size()));
    std::string found = harness::sql(scratch, "select title from entries order by title;");
    ::unlink(scratch.c_str());
    return found;
}

TEST(NewPassword, TakenOnlyWhenItAloneOpensTheContainer) {
    harness::scratch_dir dir;
    const std::string container = dir.file("vault.db"), copy = dir.file("unlocked.db");
    harness::sql(container, "create table entries(id integer primary key, title text, user text, "
                            "url text, password text, notes text, timestamp date);"
                            "insert into entries(title) values('mail');");
    harness::write_file(copy, harness::read_file(container));
    ASSERT_TRUE(encrypt_file("old", container.c_str()));

    agent a;
    a.container = container;
    a.copy = copy;
    a.folder = dir.path();
    std::strcpy(a.key.password().data, "old");
    opened_container d = open_keeping_key("old", container, a.key.key());
    ASSERT_EQ(d.status, open_status::ok);
    a.take_sealed(std::move(d.plain));
    a.container_seen = seen_now(container);

    const struct {
        const char *name;
        bool reseal;  // the other machine's change: an entry, a new password
        const char *given;
        bool taken;
        std::string why;
    } cases[] = {
        {"the password held still opens it", false, "new", false,
         container + " still opens with the password it was unlocked with"},
        {"a password that does not open it", true, "wrong", false,
         container + " does not open with the password given"},
        {"the new password", false, "new", true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.reseal) {
            ASSERT_TRUE(decrypt_file("old", container.c_str()));
            harness::sql(container, "insert into entries(title) values('there');");
            ASSERT_TRUE(encrypt_file("new", container.c_str()));
        }
        std::string why;
        EXPECT_EQ(take_new_password(a, c.given, why), c.taken) << why;
        EXPECT_EQ(why, c.why);
        EXPECT_STREQ(a.key.password().data, c.taken ? "new" : "old");
    }
    // The copy took in the container; a change of its own is sealed under
    // the new password.
    EXPECT_EQ(harness::sql(copy, "select title from entries order by title;"), "mail\nthere\n");
    harness::sql(copy, "insert into entries(title) values('later');");
    std::string why;
    EXPECT_TRUE(a.seal(why)) << why;
    EXPECT_EQ(titles_in(container, "new", dir.file("check.db")), "later\nmail\nthere\n");
}

}  // namespace
