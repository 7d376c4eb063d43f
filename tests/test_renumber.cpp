// Which entries of this machine changed ids, from the entries before and
// after: only an entry whose texts and time stand, unchanged and unique,
// under another id; and the pieces of the result line and of the claim in
// a merge commit.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sync/renumber.h"

namespace {

struct row {
    std::int64_t id;
    const char *title, *password, *time;
};

entry_prints prints(const std::vector<row> &rows) {
    entry_prints out;
    for (const row &r : rows) {
        entry_print p;
        p.id = r.id;
        p.title = secret_string(r.title);
        p.key = secret_string(std::string(r.title) + "|" + r.password + "|" + r.time);
        out.push_back(std::move(p));
    }
    return out;
}

std::string moves_of(const std::vector<row> &before, const std::vector<row> &after) {
    return describe_moves(find_moves(prints(before), prints(after)));
}

const char *const t1 = "2024-01-01 10:00:00";
const char *const t2 = "2024-02-01 10:00:00";

TEST(FindMoves, OnlyAnUnchangedUniqueEntryUnderAnotherIdMoved) {
    struct {
        const char *what;
        std::vector<row> before, after;
        std::string expected;
    } cases[] = {
        {"nothing changed", {{1, "a", "p", t1}, {2, "b", "p", t1}},
         {{1, "a", "p", t1}, {2, "b", "p", t1}}, ""},
        {"the other side's entry takes the id, ours moves up",
         {{1, "a", "p", t1}, {20, "desktop-only", "d", t1}},
         {{1, "a", "p", t1}, {20, "laptop", "l", t2}, {21, "desktop-only", "d", t1}},
         "; entry 20 (desktop-only) is now 21"},
        {"several, by their old id",
         {{22, "b", "p", t1}, {20, "a", "p", t1}},
         {{20, "x", "p", t2}, {23, "b", "p", t1}, {21, "a", "p", t1}},
         "; entry 20 (a) is now 21, entry 22 (b) is now 23"},
        {"an edited entry is no move", {{5, "a", "old", t1}}, {{5, "a", "new", t2}}, ""},
        {"edited and under another id: nothing to match it by", {{5, "a", "old", t1}},
         {{6, "a", "new", t2}}, ""},
        {"a removed entry is no move", {{5, "a", "p", t1}, {6, "b", "p", t1}},
         {{5, "a", "p", t1}}, ""},
        {"twins before cannot be told apart", {{3, "a", "p", t1}, {4, "a", "p", t1}},
         {{3, "a", "p", t1}, {9, "a", "p", t1}}, ""},
        {"twins after cannot be told apart", {{3, "a", "p", t1}},
         {{4, "a", "p", t1}, {5, "a", "p", t1}}, ""},
        {"the time counts: the same texts later are another entry", {{3, "a", "p", t1}},
         {{4, "a", "p", t2}}, ""},
        {"a title's control characters are not printed as they are",
         {{1, "a\nb\x1b[2J\x7f", "p", t1}}, {{2, "a\nb\x1b[2J\x7f", "p", t1}},
         "; entry 1 (a?b?[2J?) is now 2"},
    };
    for (const auto &c : cases) EXPECT_EQ(moves_of(c.before, c.after), c.expected) << c.what;
}

TEST(RenumberedClaim, WrittenAndFoundAsALineOfItsOwn) {
    EXPECT_EQ(renumbered_trailer({}), "");
    EXPECT_EQ(renumbered_trailer({{20, 21}, {22, 23}}), "Kesp-Renumbered: 20>21 22>23");
    struct {
        const char *messages;
        bool claims;
    } cases[] = {
        {"Merge the other copy of passwords.db\n\nKesp-Renumbered: 4>5\n\n", true},
        {"kesp-sync from laptop\n\nMerge\n\nKesp-Renumbered: 4>5", true},
        {"Merge the other copy of passwords.db\n\n", false},
        {"a note: Kesp-Renumbered: 4>5\n", false},
        {"", false},
    };
    for (const auto &c : cases) EXPECT_EQ(claims_renumbering(c.messages), c.claims) << c.messages;
}

TEST(RenumberedClaim, PairsAsTheMergeDriverWritesThem) {
    using pairs = std::vector<std::pair<std::int64_t, std::int64_t>>;
    EXPECT_EQ(parse_moved_pairs("4 5\n22 23\n"), (pairs{{4, 5}, {22, 23}}));
    EXPECT_EQ(parse_moved_pairs("4 5"), (pairs{{4, 5}}));
    EXPECT_EQ(parse_moved_pairs(""), pairs{});
    EXPECT_EQ(parse_moved_pairs("4\n-1 2\n4 x\n 4 5\n9 10\n"), (pairs{{9, 10}}));
}

}  // namespace
