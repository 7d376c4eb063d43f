// The record of which database a file is, inside the database: read and
// written on bytes in memory, carried through an encryption by kesp and
// by a stamp of kesp-sync's under the container's own key.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "agent/settle.h"
#include "container/crypt.h"
#include "harness/harness.h"
#include "store/lineage.h"
#include "vault/lineage.h"

namespace {

const char *const schema =
    "create table entries(id integer primary key, title text, user text, url text,"
    "password text, notes text,timestamp date default (datetime('now','localtime')));"
    "insert into entries(title) values('mail');";

std::string bytes_of(const wiped_buffer &b) {
    return std::string(reinterpret_cast<const char *>(b.data()), b.size());
}

TEST(Lineage, ReadsWhatItWroteAndTellsWhatIsNoLineage) {
    harness::scratch_dir dir;
    const std::string path = dir.file("a.db");
    harness::sql(path, schema);
    const std::string plain = harness::read_file(path);
    auto *bytes = reinterpret_cast<const unsigned char *>(plain.data());

    db_lineage out;
    EXPECT_EQ(db_image_lineage(bytes, plain.size(), out), lineage_status::absent);
    const db_lineage made = new_lineage();
    EXPECT_NE(made.identity, new_lineage().identity);
    db_lineage stamped = made;
    stamped.version = 7;
    auto with = db_image_with_lineage(bytes, plain.size(), stamped);
    ASSERT_TRUE(with);
    ASSERT_EQ(db_image_lineage(with->data(), with->size(), out), lineage_status::present);
    EXPECT_EQ(out, stamped);
    // Stamped again: still one row, the new one; the entries as they were.
    stamped.version = 8;
    auto again = db_image_with_lineage(with->data(), with->size(), stamped);
    ASSERT_TRUE(again);
    ASSERT_EQ(db_image_lineage(again->data(), again->size(), out), lineage_status::present);
    EXPECT_EQ(out.version, 8);
    harness::write_file(path, bytes_of(*again));
    EXPECT_EQ(harness::sql(path, "select title from entries;"), "mail\n");

    // Tables that only look like one.
    const struct {
        const char *name;
        const char *sql;
    } malformed[] = {
        {"empty", "create table lineage(identity blob, version integer);"},
        {"two rows", "create table lineage(identity blob, version integer);"
                     "insert into lineage values(randomblob(16),1),(randomblob(16),2);"},
        {"short identity", "create table lineage(identity blob, version integer);"
                           "insert into lineage values(randomblob(15),1);"},
        {"text version", "create table lineage(identity blob, version integer);"
                         "insert into lineage values(randomblob(16),'one');"},
        {"negative version", "create table lineage(identity blob, version integer);"
                             "insert into lineage values(randomblob(16),-1);"},
    };
    for (const auto &c : malformed) {
        SCOPED_TRACE(c.name);
        const std::string p = dir.file(std::string(c.name) + ".db");
        harness::sql(p, std::string(schema) + c.sql);
        const std::string b = harness::read_file(p);
        EXPECT_EQ(db_image_lineage(reinterpret_cast<const unsigned char *>(b.data()), b.size(), out),
                  lineage_status::malformed);
    }
    const std::string junk = "not a database at all, not even close to one........";
    EXPECT_EQ(db_image_lineage(reinterpret_cast<const unsigned char *>(junk.data()), junk.size(),
                               out),
              lineage_status::failed);
}

TEST(Lineage, AStampKeepsTheSaltAndKespsRoundTripKeepsTheStamp) {
    harness::scratch_dir dir;
    const std::string path = dir.file("a.db");
    harness::sql(path, schema);
    ASSERT_TRUE(encrypt_file("pw", path.c_str()));
    const std::string before = harness::read_file(path);
    lineage_status status;
    db_lineage out;
    ASSERT_EQ(container_lineage(path, "pw", status, out), 1);
    EXPECT_EQ(status, lineage_status::absent);
    EXPECT_EQ(container_lineage(path, "wrong", status, out), 0);

    db_lineage stamp = new_lineage();
    stamp.version = 3;
    ASSERT_TRUE(stamp_container(path, "pw", stamp));
    const std::string after = harness::read_file(path);
    // The salt (64 bytes before the MAC) stays; the IV is fresh.
    EXPECT_EQ(after.substr(after.size() - 128, 64), before.substr(before.size() - 128, 64));
    EXPECT_NE(after.substr(after.size() - 144, 16), before.substr(before.size() - 144, 16));
    ASSERT_EQ(container_lineage(path, "pw", status, out), 1);
    EXPECT_EQ(status, lineage_status::present);
    EXPECT_EQ(out, stamp);

    // kesp -D and -E carry the table as any other bytes of the file.
    ASSERT_TRUE(decrypt_file("pw", path.c_str()));
    const std::string plain = harness::read_file(path);
    ASSERT_TRUE(encrypt_file("pw", path.c_str()));
    ASSERT_TRUE(decrypt_file("pw", path.c_str()));
    EXPECT_EQ(harness::read_file(path), plain);
    ASSERT_TRUE(encrypt_file("pw", path.c_str()));
    ASSERT_EQ(container_lineage(path, "pw", status, out), 1);
    EXPECT_EQ(out, stamp);

    // A wrong key changes nothing.
    const std::string sealed = harness::read_file(path);
    EXPECT_FALSE(stamp_container(path, "wrong", stamp));
    EXPECT_EQ(harness::read_file(path), sealed);
}

// The agent merges a replaced container into an unlocked copy that holds
// changes of its own: the result, which it seals, keeps the lineage of
// both, or nothing is merged when they are two databases.
TEST(Lineage, TheAgentsMergeKeepsTheLineage) {
    harness::scratch_dir dir;
    const std::string table =
        "create table lineage(identity blob not null, version integer not null);";
    const std::string ident(32, 'C'), other(32, 'D');
    auto stamp = [&](const std::string &id, int version) {
        return table + "insert into lineage values(x'" + id + "'," + std::to_string(version) +
               ");";
    };
    auto image = [&](const std::string &name, const std::string &statements) {
        const std::string path = dir.file(name);
        ::unlink(path.c_str());
        harness::sql(path, std::string(schema) + statements);
        const std::string bytes = harness::read_file(path);
        auto buffer = std::make_unique<wiped_buffer>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), buffer->data());
        return buffer;
    };
    const struct {
        const char *name;
        std::string copy, container;
        lineage_status status;  // of the result; failed: refused
        std::int64_t version;
    } cases[] = {
        {"both", stamp(ident, 4), stamp(ident, 5), lineage_status::present, 6},
        {"the copy only", stamp(ident, 4), "", lineage_status::present, 5},
        {"the container only", "", stamp(ident, 7), lineage_status::present, 8},
        {"neither", "", "", lineage_status::absent, 0},
        {"two databases", stamp(ident, 4), stamp(other, 4), lineage_status::failed, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto base = image("base.db", "");
        auto copy = image("copy.db", c.copy + "insert into entries(title) values('here');");
        auto container = image("container.db", c.container +
                                                   "insert into entries(title) values('there');");
        std::string report;
        testing::internal::CaptureStderr();
        auto merged = merge_images(*base, *copy, *container, report);
        const std::string said = testing::internal::GetCapturedStderr();
        if (c.status == lineage_status::failed) {
            EXPECT_FALSE(merged);
            EXPECT_NE(said.find("another database"), std::string::npos) << said;
            continue;
        }
        ASSERT_TRUE(merged) << said;
        db_lineage out;
        ASSERT_EQ(db_image_lineage(merged->data(), merged->size(), out), c.status);
        if (c.status != lineage_status::present) continue;
        db_lineage expected;
        ASSERT_TRUE(parse_lineage_identity(std::string(32, 'c'), expected));
        expected.version = c.version;
        EXPECT_EQ(out, expected);
    }
}

TEST(Lineage, IdentityAsText) {
    db_lineage l = new_lineage();
    const std::string text = lineage_identity_text(l);
    EXPECT_EQ(text.size(), 32u);
    db_lineage back;
    ASSERT_TRUE(parse_lineage_identity(text, back));
    EXPECT_EQ(back.identity, l.identity);
    for (const char *bad : {"", "00", "0123456789abcdef0123456789abcdeg",
                            "0123456789ABCDEF0123456789ABCDEF", "0123456789abcdef0123456789abcdef0"})
        EXPECT_FALSE(parse_lineage_identity(bad, back)) << bad;
}

}  // namespace
