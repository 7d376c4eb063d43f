// The merge engine: one table of cases per rule, then random edit scripts
// on two copies of a common ancestor held to the laws a merge must keep.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "merge/image_sources.h"
#include "merge/merge.h"
#include "merge/versions.h"

namespace {

struct row {
    std::int64_t id;
    std::string title, user, url, password, notes, time;
    bool operator==(const row &) const = default;
    auto key() const { return std::tie(title, user, url, password, notes, time); }
};

std::ostream &operator<<(std::ostream &out, const row &r) {
    return out << "{" << r.id << ", " << r.title << ", " << r.user << ", " << r.url << ", "
               << r.password << ", \"" << r.notes << "\", " << r.time << "}";
}

record_list list_of(const std::vector<row> &rows) {
    record_list list;
    for (const row &r : rows) list.add(r.id, {r.title, r.user, r.url, r.password, r.notes}, r.time);
    return list;
}

std::vector<row> rows_of(const record_list &list) {
    std::vector<row> rows;
    for (const record &r : list.records())
        rows.push_back({r.id, std::string(r.field(0)), std::string(r.field(1)),
                        std::string(r.field(2)), std::string(r.field(3)), std::string(r.field(4)),
                        std::string(r.timestamp())});
    return rows;
}

// `rows` read as a copy of `ancestor` is: an entry equal to the
// ancestor's shares its texts.
record_list shared_list_of(const std::vector<row> &rows, const record_list &ancestor) {
    record_list list;
    ascending_lookup unchanged(&ancestor);
    for (const row &r : rows)
        list.add_or_share(r.id, {r.title, r.user, r.url, r.password, r.notes}, r.time,
                          unchanged.find(r.id));
    return list;
}

struct merged_rows {
    std::vector<row> rows;
    std::string report;
};

merged_rows merge(const std::vector<row> &base, const std::vector<row> &ours,
                  const std::vector<row> &theirs) {
    record_list b = list_of(base), o = list_of(ours), t = list_of(theirs);
    merge_outcome out = merge_records(b, o, t);
    return {rows_of(out.merged), describe_merge(out.report)};
}

std::string marked(const std::string &notes, std::int64_t id, const std::string &title) {
    return (notes.empty() ? "" : notes + "\n") + conflict_line(id, title);
}

const row mail{1, "mail", "alice", "https://mail", "pw", "personal", "2024-01-01 10:00:00"};
const row bank{2, "bank", "alice", "https://bank", "1234", "", "2024-01-01 10:00:00"};
const row shop{3, "shop", "bob", "https://shop", "s3", "card", "2024-01-01 10:00:00"};

row with(row r, int field, const std::string &value, const std::string &time) {
    std::string *fields[] = {&r.title, &r.user, &r.url, &r.password, &r.notes};
    *fields[field] = value;
    r.time = time;
    return r;
}

struct rule_case {
    const char *name;
    std::vector<row> base, ours, theirs, expected;
    std::string report;
};

TEST(MergeRules, EachRuleOnItsOwn) {
    const row mail_ours = with(mail, password_field, "ours", "2024-02-01 10:00:00");
    const row mail_theirs = with(mail, password_field, "theirs", "2024-03-01 10:00:00");
    const row bank_notes = with(bank, notes_field, "pin", "2024-02-01 10:00:00");
    const row bank_user = with(bank, user_field, "al", "2024-02-05 10:00:00");
    row bank_both = bank_notes;
    bank_both.user = "al";
    bank_both.time = bank_user.time;
    // A removed highest id handed out again to an entry that shares nothing.
    const row reused{3, "forum", "carol", "https://forum", "f", "", "2024-02-01 10:00:00"};
    const row shop_edit = with(shop, notes_field, "new card", "2024-02-02 10:00:00");
    // The same, for an entry of the same person: only the user name is shared.
    const row reused_bob{3, "forum", "bob", "https://forum", "f", "", "2024-02-01 10:00:00"};
    const row shop_renamed = with(shop, title_field, "store", "2024-02-01 10:00:00");
    const row added_ours{4, "wiki", "alice", "https://wiki", "w", "", "2024-02-01 10:00:00"};
    const row added_theirs{4, "news", "alice", "https://news", "n", "", "2024-02-03 10:00:00"};
    row news_moved = added_theirs;
    news_moved.id = 5;

    const std::vector<rule_case> cases = {
        {"unchanged on both sides", {mail, bank}, {mail, bank}, {mail, bank}, {mail, bank},
         "Merged: 0 entries from the other copy, 0 removed.\n"},
        {"changed on this side only", {mail}, {mail_ours}, {mail}, {mail_ours},
         "Merged: 0 entries from the other copy, 0 removed.\n"},
        {"changed on the other side only", {mail}, {mail}, {mail_theirs}, {mail_theirs},
         "Merged: 1 entry from the other copy, 0 removed.\n"},
        {"different fields changed on both sides", {bank}, {bank_notes}, {bank_user}, {bank_both},
         "Merged: 1 entry from the other copy, 0 removed.\n"},
        {"the same change on both sides", {bank}, {bank_notes}, {bank_notes}, {bank_notes},
         "Merged: 0 entries from the other copy, 0 removed.\n"},
        {"a conflict: the later version stays, the other is added",
         {mail, bank}, {mail_ours, bank}, {mail_theirs, bank},
         {mail_theirs, bank,
          {3, "mail", "alice", "https://mail", "ours", marked("personal", 1, "mail"), mail_ours.time}},
         "Merged: 1 entry from the other copy, 0 removed, 1 conflict kept as entry 3.\n"},
        {"removed on this side, unchanged on the other", {mail, bank}, {bank}, {mail, bank}, {bank},
         "Merged: 0 entries from the other copy, 0 removed.\n"},
        {"removed on the other side, unchanged on this one", {mail, bank}, {mail, bank}, {bank},
         {bank}, "Merged: 0 entries from the other copy, 1 removed.\n"},
        {"removed on the other side, changed on this one", {mail, bank}, {mail_ours, bank}, {bank},
         {mail_ours, bank},
         "Merged: 0 entries from the other copy, 0 removed.\n"
         "Kept 1 edited entry that one copy had removed: 1.\n"},
        {"removed on this side, changed on the other", {mail, bank}, {bank}, {mail_theirs, bank},
         {mail_theirs, bank},
         "Merged: 1 entry from the other copy, 0 removed.\n"
         "Kept 1 edited entry that one copy had removed: 1.\n"},
        {"an id handed out again on this side is a removal and an addition",
         {mail, shop}, {mail, reused}, {mail, shop}, {mail, reused},
         "Merged: 0 entries from the other copy, 0 removed.\n"},
        {"an id handed out again on the other side", {mail, shop}, {mail, shop}, {mail, reused},
         {mail, {4, "forum", "carol", "https://forum", "f", "", reused.time}},
         "Merged: 1 entry from the other copy, 1 removed.\n"},
        {"an id handed out again here, the old entry edited there", {mail, shop}, {mail, reused},
         {mail, shop_edit}, {mail, reused, {4, "shop", "bob", "https://shop", "s3", "new card", shop_edit.time}},
         "Merged: 1 entry from the other copy, 0 removed.\n"
         "Kept 1 edited entry that one copy had removed: 4.\n"},
        {"an id handed out again with the same user, the old entry edited there",
         {mail, shop}, {mail, reused_bob}, {mail, shop_edit},
         {mail, reused_bob, {4, "shop", "bob", "https://shop", "s3", "new card", shop_edit.time}},
         "Merged: 1 entry from the other copy, 0 removed.\n"
         "Kept 1 edited entry that one copy had removed: 4.\n"},
        {"an id handed out again with the same user on the other side", {mail, shop},
         {mail, shop}, {mail, reused_bob},
         {mail, {4, "forum", "bob", "https://forum", "f", "", reused_bob.time}},
         "Merged: 1 entry from the other copy, 1 removed.\n"},
        {"a new title alone is an edit", {mail, shop}, {mail, shop_renamed}, {mail, shop_edit},
         {mail, {3, "store", "bob", "https://shop", "s3", "new card", shop_edit.time}},
         "Merged: 1 entry from the other copy, 0 removed.\n"},
        {"additions of both sides; this side keeps its ids", {mail}, {mail, added_ours},
         {mail, added_theirs}, {mail, added_ours, news_moved},
         "Merged: 1 entry from the other copy, 0 removed.\n"},
        {"the same addition on both sides is kept once", {mail}, {mail, added_ours},
         {mail, added_ours}, {mail, added_ours}, "Merged: 0 entries from the other copy, 0 removed.\n"},
        {"no common ancestor: everything is an addition", {}, {mail, bank}, {mail, shop},
         {mail, bank, {3, "shop", "bob", "https://shop", "s3", "card", shop.time}},
         "Merged: 1 entry from the other copy, 0 removed.\n"},
        {"new ids go above the ancestor's highest", {mail, shop}, {mail}, {mail, added_theirs},
         {mail, added_theirs}, "Merged: 1 entry from the other copy, 0 removed.\n"},
        {"an addition on one side only keeps its id", {mail, bank}, {mail, bank},
         {mail, bank, {3, "news", "alice", "https://news", "n", "", added_theirs.time}},
         {mail, bank, {3, "news", "alice", "https://news", "n", "", added_theirs.time}},
         "Merged: 1 entry from the other copy, 0 removed.\n"},
    };
    for (const rule_case &c : cases) {
        merged_rows got = merge(c.base, c.ours, c.theirs);
        EXPECT_EQ(got.rows, c.expected) << c.name;
        EXPECT_EQ(got.report, c.report) << c.name;
    }
}

TEST(MergeRules, TiesGoToTheLowerTextsWhicheverSideIsWhich) {
    const row lower = with(mail, password_field, "aaa", "2024-02-01 10:00:00");
    const row higher = with(mail, password_field, "zzz", "2024-02-01 10:00:00");
    for (const auto &[ours, theirs] : {std::pair{lower, higher}, std::pair{higher, lower}}) {
        merged_rows got = merge({mail}, {ours}, {theirs});
        ASSERT_EQ(got.rows.size(), 2u);
        EXPECT_EQ(got.rows[0].password, "aaa");
        EXPECT_EQ(got.rows[1].password, "zzz");
        EXPECT_EQ(got.rows[1].notes, marked("personal", 1, "mail"));
    }
    // Empty notes get the line alone.
    merged_rows got = merge({bank}, {with(bank, password_field, "x", bank.time)},
                            {with(bank, password_field, "y", bank.time)});
    ASSERT_EQ(got.rows.size(), 2u);
    EXPECT_EQ(got.rows[1].notes, conflict_line(2, "bank"));
}

TEST(MergeRules, ReportsManyConflictsBriefly) {
    merge_report report;
    report.from_other = 1;
    report.removed = 2;
    report.conflicts = {7, 8, 9, 10, 11, 12, 13};
    report.kept_over_removal = {3, 4};
    EXPECT_EQ(describe_merge(report),
              "Merged: 1 entry from the other copy, 2 removed, 7 conflicts kept as entries 7, 8, "
              "9, 10, 11 and 2 more.\nKept 2 edited entries that one copy had removed: 3, 4.\n");
}

// Random edit scripts. Texts come from small pools, so that sides often
// make the same change, collide on a field or reuse an id.
class script_maker {
public:
    explicit script_maker(std::uint64_t seed) : rng_(seed) {}

    std::vector<row> base() {
        std::vector<row> rows;
        std::int64_t id = 0;
        for (int n = pick(8); n > 0; --n) {
            id += 1 + pick(2);
            rows.push_back(fresh(id));
        }
        return rows;
    }

    // Adds, edits any subset of fields, removes, removes and adds, and
    // removes the highest id to hand it out again to an entry of the same
    // user.
    std::vector<row> edit(std::vector<row> rows) {
        for (int steps = pick(6); steps > 0; --steps) {
            int what = pick(5);
            if (rows.empty()) what = 0;
            if (what == 0) {
                rows.push_back(fresh(next_id(rows)));
                continue;
            }
            if (what == 4) {
                auto lower_id = [](const row &p, const row &q) { return p.id < q.id; };
                auto highest = std::max_element(rows.begin(), rows.end(), lower_id);
                row reused = fresh(highest->id);
                reused.user = highest->user;
                *highest = reused;
                continue;
            }
            std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(rows.size())));
            if (what == 1) {
                row &r = rows[at];
                std::string *fields[] = {&r.title, &r.user, &r.url, &r.password, &r.notes};
                int mask = 1 + pick(31);
                for (int f = 0; f < 5; ++f)
                    if (mask & (1 << f)) *fields[f] = text(f);
                r.time = time();
            } else {
                rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at));
                if (what == 3) rows.push_back(fresh(next_id(rows)));
            }
        }
        return rows;
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    std::string text(int field) {
        static const char *names[] = {"t", "u", "l", "p", "n"};
        int v = pick(5);
        return v == 0 ? "" : names[field] + std::to_string(v);
    }
    std::string time() { return "2024-01-0" + std::to_string(1 + pick(4)) + " 10:00:00"; }
    row fresh(std::int64_t id) { return {id, text(0), text(1), text(2), text(3), text(4), time()}; }
    // What SQLite hands out: one above the highest id there is now.
    static std::int64_t next_id(const std::vector<row> &rows) {
        std::int64_t highest = 0;
        for (const row &r : rows) highest = std::max(highest, r.id);
        return highest + 1;
    }

    std::mt19937_64 rng_;
};

const row *find_id(const std::vector<row> &rows, std::int64_t id) {
    for (const row &r : rows)
        if (r.id == id) return &r;
    return nullptr;
}

bool replaced(const row &base, const row &side) {
    return side.title != base.title && side.url != base.url;
}

// The side's entry that is still the ancestor's `b`, or nullptr.
const row *kept(const std::vector<row> &side, const row &b) {
    const row *r = find_id(side, b.id);
    return r != nullptr && !replaced(b, *r) ? r : nullptr;
}

std::multiset<std::tuple<std::string, std::string, std::string, std::string, std::string, std::string>>
contents(const std::vector<row> &rows) {
    std::multiset<std::tuple<std::string, std::string, std::string, std::string, std::string, std::string>> s;
    for (const row &r : rows) s.insert(r.key());
    return s;
}

std::multiset<std::tuple<std::string, std::string, std::string, std::string, std::string>> texts(
    const std::vector<row> &rows) {
    std::multiset<std::tuple<std::string, std::string, std::string, std::string, std::string>> s;
    for (const row &r : rows) s.insert({r.title, r.user, r.url, r.password, r.notes});
    return s;
}

bool holds_version(const std::vector<row> &rows, const row &version) {
    return std::any_of(rows.begin(), rows.end(), [&](const row &r) { return r.key() == version.key(); });
}

// The laws for one merge of `x` (this side) and `y` against `b`.
void check_laws(const std::vector<row> &b, const std::vector<row> &x, const std::vector<row> &y,
                const std::vector<row> &result) {
    for (std::size_t i = 1; i < result.size(); ++i) ASSERT_LT(result[i - 1].id, result[i].id);
    for (const row &base : b) {
        const row *xs = kept(x, base), *ys = kept(y, base);
        auto same = [&](const row *side) { return side->key() == base.key(); };
        if (xs != nullptr && ys != nullptr) {
            // Nothing written is lost, field by field.
            const row *r = find_id(result, base.id);
            ASSERT_NE(r, nullptr) << "entry " << base.id << " vanished";
            auto fields = [](const row &e) {
                return std::vector<std::string>{e.title, e.user, e.url, e.password, e.notes};
            };
            auto bf = fields(base), xf = fields(*xs), yf = fields(*ys), rf = fields(*r);
            const row *loser = nullptr;  // the version whose conflicting value the entry lacks
            for (int f = 0; f < 5; ++f) {
                bool xc = xf[f] != bf[f], yc = yf[f] != bf[f];
                if (!xc && !yc) EXPECT_EQ(rf[f], bf[f]);
                else if (xc && !yc) EXPECT_EQ(rf[f], xf[f]);
                else if (!xc && yc) EXPECT_EQ(rf[f], yf[f]);
                else if (xf[f] == yf[f]) EXPECT_EQ(rf[f], xf[f]);
                else {
                    EXPECT_TRUE(rf[f] == xf[f] || rf[f] == yf[f]) << "field " << f;
                    if (loser == nullptr) loser = rf[f] == xf[f] ? ys : xs;
                }
            }
            if (loser != nullptr) {
                row copy = *loser;
                copy.notes = marked(loser->notes, base.id, r->title);
                EXPECT_TRUE(holds_version(result, copy)) << "no copy of " << copy;
            }
        } else if (xs != nullptr || ys != nullptr) {
            const row *side = xs != nullptr ? xs : ys;
            if (same(side)) {
                const row *r = find_id(result, base.id);
                const row *x_new = find_id(x, base.id);
                EXPECT_TRUE(r == nullptr || (x_new != nullptr && *r == *x_new))
                    << "entry " << base.id << " was removed on one side and kept";
            } else {
                EXPECT_TRUE(holds_version(result, *side)) << "edit of " << base.id << " lost";
            }
        }
    }
    // Every addition is kept; this side's at its own id.
    for (const row &r : x) {
        const row *base = find_id(b, r.id);
        if (base == nullptr || replaced(*base, r)) {
            const row *got = find_id(result, r.id);
            EXPECT_TRUE(got != nullptr && *got == r) << "addition " << r << " of this side";
        }
    }
    // An addition of the other side whose texts this side added too is
    // kept once, at this side's time.
    auto all = texts(result);
    std::vector<row> added_rows;
    for (const row &r : y) {
        const row *base = find_id(b, r.id);
        if (base == nullptr || replaced(*base, r)) added_rows.push_back(r);
    }
    auto added = texts(added_rows);
    for (const auto &a : added) EXPECT_GE(all.count(a), added.count(a)) << "an addition of the other side";
}

TEST(MergeProperties, RandomEditScriptsKeepTheLaws) {
    constexpr std::uint64_t cases = 10000;
    for (std::uint64_t seed = 1; seed <= cases; ++seed) {
        script_maker make(seed);
        const std::vector<row> b = make.base();
        const std::vector<row> x = make.edit(b);
        const std::vector<row> y = make.edit(b);
        SCOPED_TRACE("seed " + std::to_string(seed));

        merged_rows xy = merge(b, x, y);
        check_laws(b, x, y, xy.rows);
        {
            // Copies that share the ancestor's texts merge to the same.
            record_list bl = list_of(b), xl = shared_list_of(x, bl), yl = shared_list_of(y, bl);
            merge_outcome shared = merge_records(bl, xl, yl);
            EXPECT_EQ(rows_of(shared.merged), xy.rows) << "shared texts changed the merge";
            EXPECT_EQ(describe_merge(shared.report), xy.report);
        }
        merged_rows yx = merge(b, y, x);
        check_laws(b, y, x, yx.rows);
        EXPECT_EQ(texts(xy.rows), texts(yx.rows)) << "the order of the sides mattered";

        std::vector<row> x_sorted = x;
        std::sort(x_sorted.begin(), x_sorted.end(), [](const row &p, const row &q) { return p.id < q.id; });
        EXPECT_EQ(merge(b, x, x).rows, x_sorted) << "a copy merged with itself changed";
        EXPECT_EQ(contents(merge(x, x, y).rows), contents(y)) << "an unchanged side held its own";
        if (::testing::Test::HasFailure()) break;
    }
}

// A copy's entry shares the ancestor's texts only when all six are the
// same, boundaries included.
TEST(RecordList, SharesTheTextsOfAnEqualEntryOnly) {
    const row same = mail;
    struct share_case {
        const char *name;
        row entry;
        bool shared;
    };
    const share_case cases[] = {
        {"all six equal", same, true},
        {"title", with(same, title_field, "mail2", same.time), false},
        {"user", with(same, user_field, "alic", same.time), false},
        {"url", with(same, url_field, "https://mail ", same.time), false},
        {"password", with(same, password_field, "", same.time), false},
        {"notes", with(same, notes_field, "personalx", same.time), false},
        {"time", with(same, title_field, same.title, "2024-01-01 10:00:01"), false},
        // The same bytes side by side, split elsewhere.
        {"title and user", row{1, "mai", "lalice", same.url, same.password, same.notes, same.time},
         false},
        {"notes and time", row{1, same.title, same.user, same.url, same.password, "personal2",
                               "024-01-01 10:00:00"}, false},
    };
    const record_list ancestor = list_of({same, bank, shop});
    const record &held = ancestor.records()[0];
    for (const share_case &c : cases) {
        SCOPED_TRACE(c.name);
        ascending_lookup unchanged(&ancestor);
        const record *found = unchanged.find(c.entry.id);
        ASSERT_EQ(found, &held);
        record_list copy;
        copy.add_or_share(c.entry.id, {c.entry.title, c.entry.user, c.entry.url, c.entry.password,
                                       c.entry.notes},
                          c.entry.time, found);
        EXPECT_EQ(copy.records()[0].texts == held.texts, c.shared);
        EXPECT_EQ(rows_of(copy), std::vector<row>{c.entry});
    }
    record_list alone;
    alone.add_or_share(7, {same.title, same.user, same.url, same.password, same.notes}, same.time,
                       nullptr);
    row moved = same;
    moved.id = 7;
    EXPECT_EQ(rows_of(alone), std::vector<row>{moved});
}

// A list read in two parts is one list: the second part's records follow
// the first's, their texts go with them, and what is added later lands
// after both.
TEST(RecordList, AppendedPartsAreOneList) {
    const row tail{9, "x", "", "", "", "", "2024-01-01 10:00:00"};
    const std::vector<std::vector<row>> lower_parts = {{}, {mail}, {mail, bank}};
    const std::vector<std::vector<row>> upper_parts = {{}, {shop}, {shop, row{7, "y", "", "", "", "", ""}}};
    for (const auto &lower : lower_parts)
        for (const auto &upper : upper_parts) {
            record_list whole = list_of(lower);
            {
                record_list part = list_of(upper);
                whole.append(std::move(part));
            }
            whole.add(tail.id, {tail.title, tail.user, tail.url, tail.password, tail.notes},
                      tail.time);
            std::vector<row> expected = lower;
            expected.insert(expected.end(), upper.begin(), upper.end());
            expected.push_back(tail);
            EXPECT_EQ(rows_of(whole), expected) << lower.size() << " + " << upper.size();
        }
}

// Ids asked in ascending order are each found; ids missing or asked again
// behind the last are not.
TEST(RecordList, AscendingLookupFindsEachIdOnce) {
    const record_list list = list_of({mail, bank, shop,
                                      row{9, "x", "", "", "", "", "2024-01-01 10:00:00"}});
    ascending_lookup look(&list);
    const std::pair<std::int64_t, std::int64_t> asked[] = {{0, 0}, {2, 2}, {3, 3}, {1, 0},
                                                            {5, 0}, {9, 9}, {10, 0}};
    for (const auto &[id, found] : asked) {
        const record *r = look.find(id);
        EXPECT_EQ(r != nullptr ? r->id : 0, found) << "id " << id;
    }
    ascending_lookup none;
    EXPECT_EQ(none.find(1), nullptr);
}

// The record of earlier versions, merged beside the entries.

kept_version version(std::int64_t id, std::int64_t gone, const std::string &password,
                     const std::string &replaced, const std::string &why = "edit") {
    kept_version v;
    v.entry_id = id;
    v.gone = gone;
    v.field = {secret_string("t"), secret_string("u"), secret_string("l"), secret_string(password),
               secret_string("n")};
    v.timestamp = "2024-01-01 10:00:00";
    v.replaced = replaced;
    v.why = why;
    return v;
}

std::string when(int n) {
    char text[32];
    std::snprintf(text, sizeof text, "2024-02-%02d %02d:00:00", 1 + n / 24, n % 24);
    return text;
}

// What identifies a version, and where it stands.
using version_id = std::tuple<std::int64_t, std::string, std::string, std::string>;
version_id id_of(const kept_version &v) {
    return {v.entry_id, std::string(v.field[password_field].view()),
            std::string(v.timestamp.view()),
            v.replaced};
}

version_list merged_versions(const version_list &ours, const version_list &theirs,
                             const std::vector<row> &b, const std::vector<row> &x,
                             const std::vector<row> &y, merge_outcome *out = nullptr,
                             const version_list &base_record = {}) {
    record_list bl = list_of(b), xl = list_of(x), yl = list_of(y);
    merge_outcome m = merge_records(bl, xl, yl);
    version_list v = merge_versions(base_record, ours, theirs, xl, m, "2024-03-01 10:00:00");
    if (out != nullptr) *out = std::move(m);
    return v;
}

TEST(MergeVersions, EachRuleOnItsOwn) {
    const std::vector<row> entries = {mail, bank};
    // Shared versions once; a removal both copies hold under this copy's number.
    version_list ours, theirs;
    ours.push_back(version(1, 0, "a", when(1)));
    ours.push_back(version(3, 2, "gone", when(2), "remove"));
    theirs.push_back(version(1, 0, "a", when(1)));
    theirs.push_back(version(3, 1, "gone", when(2), "remove"));
    theirs.push_back(version(2, 0, "b", when(3)));
    theirs.push_back(version(4, 5, "other", when(4), "remove"));
    version_list got = merged_versions(ours, theirs, entries, entries, entries);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(id_of(got[0]), id_of(ours[0]));
    EXPECT_EQ(got[1].gone, 2);  // the removal both hold
    EXPECT_EQ(id_of(got[2]), id_of(theirs[2]));
    EXPECT_EQ(got[3].gone, 3);  // a removal of the other copy alone: a new number
    EXPECT_TRUE(same_versions(merged_versions(ours, {}, entries, entries, entries), ours));

    // The version this copy held, replaced by the merge, is recorded as such.
    row bank2 = with(bank, 3, "new", "2024-01-05 10:00:00");
    version_list replaced = merged_versions({}, {}, entries, entries, {mail, bank2});
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(replaced[0].why, "merge");
    EXPECT_EQ(replaced[0].entry_id, 2);
    EXPECT_EQ(replaced[0].field[password_field].view(), "1234");
    // ... unless the other copy's record holds it already.
    kept_version held = version(2, 0, "1234", when(5));
    held.field = {secret_string("bank"), secret_string("alice"), secret_string("https://bank"),
                  secret_string("1234"), secret_string("")};
    EXPECT_EQ(merged_versions({}, {held}, entries, entries, {mail, bank2}).size(), 1u);

    // An entry the merge removed takes its versions along into a removal.
    version_list of_bank = {version(2, 0, "old", when(6))};
    version_list after = merged_versions(of_bank, {}, entries, entries, {mail});
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0].gone, 0);

    // The bound: the 20 newest of each entry.
    version_list many_ours, many_theirs;
    for (int i = 0; i < 15; ++i)
        many_ours.push_back(version(1, 0, "o" + std::to_string(i), when(2 * i)));
    for (int i = 0; i < 15; ++i)
        many_theirs.push_back(version(1, 0, "t" + std::to_string(i), when(2 * i + 1)));
    version_list bounded = merged_versions(many_ours, many_theirs, entries, entries, entries);
    ASSERT_EQ(bounded.size(), 20u);
    EXPECT_EQ(bounded.front().replaced, when(10));
    EXPECT_EQ(bounded.back().replaced, when(29));
}

// Three ways: a version the ancestor held and one copy no longer holds
// was forgotten there, on whichever side; what only a copy holds is new.
TEST(MergeVersions, WhatACopyForgotStaysForgotten) {
    const std::vector<row> entries = {mail, bank};
    const kept_version pin = version(1, 0, "pin", when(1));
    const kept_version other = version(2, 0, "other", when(2));
    const kept_version gone = version(3, 1, "gone", when(3), "remove");
    const kept_version added = version(1, 0, "added", when(4));
    const version_list ancestor = {pin, other, gone};
    struct forget_case {
        const char *name;
        version_list base, ours, theirs;
        std::vector<std::string> kept;  // passwords, oldest first
    };
    const std::vector<forget_case> cases = {
        {"nothing forgotten", ancestor, ancestor, ancestor, {"pin", "other", "gone"}},
        {"forgotten here", ancestor, {other, gone}, ancestor, {"other", "gone"}},
        {"forgotten there", ancestor, ancestor, {pin, gone}, {"pin", "gone"}},
        {"a removal forgotten there", ancestor, ancestor, {pin, other}, {"pin", "other"}},
        {"everything forgotten here, a version added there", ancestor, {},
         {pin, other, gone, added}, {"added"}},
        {"forgotten on both sides", ancestor, {other}, {other, gone}, {"other"}},
        {"no ancestor: the union", {}, {other}, {pin}, {"pin", "other"}},
        {"an ancestor without the version: new on one side", {other}, {other}, {other, pin},
         {"pin", "other"}},
    };
    for (const forget_case &c : cases) {
        SCOPED_TRACE(c.name);
        version_list got = merged_versions(c.ours, c.theirs, entries, entries, entries, nullptr,
                                           c.base);
        std::vector<std::string> passwords;
        for (const kept_version &v : got) passwords.emplace_back(v.field[password_field].view());
        EXPECT_EQ(passwords, c.kept);
    }
}

// A record that shows an entry removed since the ancestor makes that
// copy's entry with the id a new one, even with the very same texts.
TEST(MergeVersions, ARemovalInTheRecordTellsANewEntry) {
    const std::vector<row> base = {mail, bank};
    row bank_again = with(bank, 3, "other", "2024-01-06 10:00:00");  // same title and url
    version_list theirs_record = {version(2, 1, "1234", when(1), "remove")};
    theirs_record[0].field = {secret_string("bank"), secret_string("alice"),
                              secret_string("https://bank"), secret_string("1234"),
                              secret_string("")};
    const new_ids theirs_new = removed_since({}, theirs_record);
    ASSERT_EQ(theirs_new.count(2), 1u);
    record_list b = list_of(base), o = list_of(base), t = list_of({mail, bank_again});
    merge_outcome m = merge_records(b, o, t, nullptr, &theirs_new);
    auto rows = rows_of(m.merged);
    // The ancestor's entry 2 went; the other copy's new entry came, with an id of its own.
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].id, 3);
    EXPECT_EQ(rows[1].password, "other");
    ASSERT_EQ(m.moved_theirs.size(), 1u);
    EXPECT_EQ(m.moved_theirs[0], std::make_pair(std::int64_t{2}, std::int64_t{3}));
    // Without the record it reads as an edit.
    EXPECT_EQ(rows_of(merge_records(b, o, t).merged).size(), 2u);
    EXPECT_EQ(rows_of(merge_records(b, o, t).merged)[1].id, 2);
}

// Random records on both copies: no version of either is missing from the
// result (each stays below the bound), versions of one removal stay
// together, and no entry exceeds the bound.
TEST(MergeProperties, NoEarlierVersionIsLost) {
    for (std::uint64_t seed = 1; seed <= 2000; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
        script_maker make(seed);
        const std::vector<row> b = make.base();
        const std::vector<row> x = make.edit(b);
        const std::vector<row> y = make.edit(b);
        auto record = [&](const std::vector<row> &side, const char *tag) {
            version_list out;
            std::int64_t gone = 0;
            for (int n = pick(8); n > 0; --n) {
                const bool removal = side.empty() || pick(3) == 0;
                std::int64_t id = 1 + pick(12);
                const int size = static_cast<int>(side.size());
                if (!removal) id = side[static_cast<std::size_t>(pick(size))].id;
                if (removal && pick(2) == 0) ++gone;
                out.push_back(version(id, removal ? std::max<std::int64_t>(gone, 1) : 0,
                                      tag + std::to_string(out.size()), when(pick(28)),
                                      removal ? "remove" : "edit"));
            }
            std::stable_sort(out.begin(), out.end(),
                             [](const kept_version &p, const kept_version &q) {
                                 return p.replaced < q.replaced;
                             });
            return out;
        };
        version_list shared = record(b, "s");
        version_list ours = shared, theirs;
        for (const kept_version &v : shared) theirs.push_back(version(v.entry_id, v.gone,
            std::string(v.field[password_field].view()), v.replaced, v.why));
        for (kept_version &v : record(x, "x")) ours.push_back(std::move(v));
        for (kept_version &v : record(y, "y")) theirs.push_back(std::move(v));

        merge_outcome m;
        version_list got = merged_versions(ours, theirs, b, x, y, &m, shared);
        std::map<std::int64_t, std::int64_t> moved(m.moved_theirs.begin(), m.moved_theirs.end());
        std::multimap<version_id, std::int64_t> found;
        std::map<std::pair<std::int64_t, std::int64_t>, int> per_entry;
        for (const kept_version &v : got) {
            found.emplace(id_of(v), v.gone);
            const int count = ++per_entry[std::make_pair(v.entry_id, v.gone)];
            EXPECT_LE(count, 20);
        }
        for (const kept_version &v : ours)
            EXPECT_TRUE(found.count(id_of(v))) << "this copy's version lost";
        std::map<std::int64_t, std::int64_t> group;  // the other copy's removal -> the result's
        for (const kept_version &v : theirs) {
            kept_version w = version(v.entry_id, v.gone,
                                     std::string(v.field[password_field].view()),
                                     v.replaced, v.why);
            if (v.gone == 0 && moved.count(v.entry_id) && !found.count(id_of(w)))
                w.entry_id = moved[v.entry_id];
            auto at = found.find(id_of(w));
            ASSERT_NE(at, found.end()) << "the other copy's version lost";
            if (v.gone == 0) continue;
            auto [g, fresh] = group.emplace(v.gone, at->second);
            if (!fresh && found.count(id_of(w)) == 1) {
                EXPECT_EQ(g->second, at->second) << "a removal split";
            }
        }
        if (::testing::Test::HasFailure()) break;
    }
}

// Copies that carry the record, played as kesp plays them: every edit and
// removal leaves its version in the copy's record, as the triggers do.
class recorded_copy {
public:
    recorded_copy(const std::vector<row> &base, const version_list &record)
        : rows(base) {
        for (const kept_version &v : record) versions.push_back(copy(v));
        for (const row &r : base) base_ids.insert(r.id);
    }

    // Replaces the texts of `at` (those picked by `mask`) and its time.
    void edit(std::size_t at, int mask, const std::vector<std::string> &texts,
              const std::string &time, const std::string &replaced) {
        row &r = rows[at];
        const row old = r;
        std::string *fields[] = {&r.title, &r.user, &r.url, &r.password, &r.notes};
        for (int f = 0; f < 5; ++f)
            if (mask & (1 << f)) *fields[f] = texts[static_cast<std::size_t>(f)];
        r.time = time;
        if (r == old) return;  // the trigger records a change only
        versions.push_back(of(old, 0, replaced, "edit"));
        if (ancestors(r.id)) edited.insert(r.id);
    }

    void remove(std::size_t at, const std::string &replaced) {
        const row old = rows[at];
        std::int64_t gone = 0;
        for (const kept_version &v : versions) gone = std::max(gone, v.gone);
        ++gone;
        for (kept_version &v : versions)
            if (v.gone == 0 && v.entry_id == old.id) v.gone = gone;
        versions.push_back(of(old, gone, replaced, "remove"));
        if (ancestors(old.id)) {
            removed.insert(old.id);
            edited.erase(old.id);
        }
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at));
    }

    // SQLite's id: one above the highest there is now.
    std::int64_t add(row r) {
        std::int64_t highest = 0;
        for (const row &e : rows) highest = std::max(highest, e.id);
        r.id = highest + 1;
        rows.push_back(r);
        added.insert(r.id);
        return r.id;
    }

    image_records image() const {
        image_records out;
        out.entries = list_of(rows);
        for (const kept_version &v : versions) out.versions.push_back(copy(v));
        out.record = true;
        return out;
    }

    std::vector<row> rows;
    version_list versions;
    std::set<std::int64_t> base_ids, removed, edited, added;

private:
    // Whether the entry at `id` is still the ancestor's.
    bool ancestors(std::int64_t id) const { return base_ids.count(id) && !removed.count(id); }

    static kept_version of(const row &r, std::int64_t gone, const std::string &replaced,
                           const char *why) {
        kept_version v;
        v.entry_id = r.id;
        v.gone = gone;
        v.field = {secret_string(r.title), secret_string(r.user), secret_string(r.url),
                   secret_string(r.password), secret_string(r.notes)};
        v.timestamp = secret_string(r.time);
        v.replaced = replaced;
        v.why = why;
        return v;
    }
    static kept_version copy(const kept_version &v) {
        kept_version c;
        c.entry_id = v.entry_id;
        c.gone = v.gone;
        for (std::size_t f = 0; f < record_fields; ++f) c.field[f] = v.field[f];
        c.timestamp = v.timestamp;
        c.replaced = v.replaced;
        c.why = v.why;
        return c;
    }
};

image_records image_of(const std::vector<row> &rows, const version_list &record) {
    return recorded_copy(rows, record).image();
}

// Where the copies carry the record, it tells an edit from a replacement,
// whatever the texts say; a copy without it is judged by title and URL.
TEST(MergeRecord, TheRecordTellsWhichEntryAnIdHolds) {
    const row gmail{1, "Gmail", "me", "https://gmail.com", "old-pw", "", "2024-01-01 10:00:00"};
    const std::vector<row> base = {gmail, bank};
    const std::string later = "2024-02-01 10:00:00";

    // Renamed on one machine, its password changed on the other.
    recorded_copy renamed(base, {}), repassed(base, {});
    renamed.edit(0, 1 | 4, {"Google", "", "https://accounts.google.com", "", ""}, later, later);
    repassed.edit(0, 8, {"", "", "", "new-pw", ""}, "2024-02-02 10:00:00", "2024-02-02 10:00:00");
    const image_records b = image_of(base, {});
    for (bool swapped : {false, true}) {
        const recorded_copy &o = swapped ? repassed : renamed, &t = swapped ? renamed : repassed;
        const image_records oi = o.image(), ti = t.image();
        copies_merged m = merge_copies(b, oi, ti);
        const std::vector<row> got = rows_of(m.outcome.merged);
        ASSERT_EQ(got.size(), 2u) << swapped;
        EXPECT_EQ(got[0], (row{1, "Google", "me", "https://accounts.google.com", "new-pw", "",
                               "2024-02-02 10:00:00"}))
            << swapped;
        EXPECT_EQ(describe_merge(m.outcome.report),
                  "Merged: 1 entry from the other copy, 0 removed.\n");
    }

    // The same rename on a copy that holds no record: its entry is judged
    // by the texts, a removal and an addition; both versions are kept.
    image_records bare = image_of(renamed.rows, {});
    bare.record = false;
    const image_records repassed_image = repassed.image();
    copies_merged judged = merge_copies(b, repassed_image, bare);
    const std::vector<row> two = rows_of(judged.outcome.merged);
    ASSERT_EQ(two.size(), 3u);
    EXPECT_EQ(two[0].password, "new-pw");
    EXPECT_EQ(two[2].title, "Google");

    // A removal in the record makes the entry at the id handed out again a
    // new one, even where it shares title and URL with the old.
    recorded_copy reused(base, {});
    reused.remove(1, later);
    row again = bank;
    again.password = "other";
    ASSERT_EQ(reused.add(again), 2);
    recorded_copy edited(base, {});
    edited.edit(1, 16, {"", "", "", "", "pin"}, later, later);
    const image_records edited_image = edited.image(), reused_image = reused.image();
    copies_merged m = merge_copies(b, edited_image, reused_image);
    const std::vector<row> got = rows_of(m.outcome.merged);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].notes, "pin");
    EXPECT_EQ(got[2].password, "other");
    EXPECT_EQ(describe_merge(m.outcome.report),
              "Merged: 1 entry from the other copy, 0 removed.\n"
              "Kept 1 edited entry that one copy had removed: 2.\n");
}

// Random scripts on two copies that carry the record: edits of any
// fields, removals, additions and ids handed out again. Every entry of the
// ancestor that both copies kept merges field by field into one entry at
// its id; every addition is kept.
TEST(MergeProperties, AnEditInTheRecordMergesIntoOneEntryAtItsId) {
    constexpr std::uint64_t cases = 3000;
    for (std::uint64_t seed = 1; seed <= cases; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
        auto text = [&](int field) {
            static const char *names[] = {"t", "u", "l", "p", "n"};
            const int v = pick(4);
            return v == 0 ? std::string() : names[field] + std::to_string(v);
        };
        auto time = [&] { return "2024-01-0" + std::to_string(1 + pick(4)) + " 10:00:00"; };
        auto fresh = [&] { return row{0, text(0), text(1), text(2), text(3), text(4), time()}; };
        std::vector<row> base;
        for (int n = 1 + pick(6), id = 0; n > 0; --n) {
            row r = fresh();
            r.id = id += 1 + pick(2);
            base.push_back(r);
        }
        // The ancestor's own record: earlier edits and a removal.
        version_list ancestor;
        {
            recorded_copy before(base, {});
            before.edit(0, 1, {"t9", "", "", "", ""}, base[0].time, "2023-12-01 10:00:00");
            if (pick(2) == 0) before.remove(before.rows.size() - 1, "2023-12-02 10:00:00");
            base = before.rows;
            for (const kept_version &v : before.versions) {
                kept_version c = version(v.entry_id, v.gone, std::string(v.field[3].view()),
                                         v.replaced, v.why);
                c.field = {secret_string(v.field[0].view()), secret_string(v.field[1].view()),
                           secret_string(v.field[2].view()), secret_string(v.field[3].view()),
                           secret_string(v.field[4].view())};
                c.timestamp = v.timestamp;
                ancestor.push_back(std::move(c));
            }
        }
        int clock = 0;
        auto now = [&] {
            char t[32];
            std::snprintf(t, sizeof t, "2024-03-01 10:%02d:%02d", clock / 60, clock % 60);
            ++clock;
            return std::string(t);
        };
        auto play = [&](recorded_copy &copy) {
            for (int steps = pick(7); steps > 0; --steps) {
                const int what = copy.rows.empty() ? 0 : pick(6);
                if (what == 0) {
                    copy.add(fresh());
                } else if (what <= 3) {
                    const std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(copy.rows.size())));
                    copy.edit(at, 1 + pick(31), {text(0), text(1), text(2), text(3), text(4)},
                              time(), now());
                } else if (what == 4) {
                    copy.remove(static_cast<std::size_t>(pick(static_cast<int>(copy.rows.size()))),
                                now());
                } else {
                    // The highest id removed, then handed out again.
                    std::size_t highest = 0;
                    for (std::size_t i = 0; i < copy.rows.size(); ++i)
                        if (copy.rows[i].id > copy.rows[highest].id) highest = i;
                    copy.remove(highest, now());
                    copy.add(fresh());
                }
            }
        };
        recorded_copy x(base, ancestor), y(base, ancestor);
        play(x);
        play(y);
        const image_records bi = image_of(base, ancestor), xi = x.image(), yi = y.image();
        copies_merged m = merge_copies(bi, xi, yi);
        const std::vector<row> result = rows_of(m.outcome.merged);
        const std::set<std::int64_t> kept_over(m.outcome.report.kept_over_removal.begin(),
                                               m.outcome.report.kept_over_removal.end());
        for (const row &b : base) {
            if (x.removed.count(b.id) || y.removed.count(b.id)) continue;
            const row *xs = find_id(x.rows, b.id), *ys = find_id(y.rows, b.id);
            ASSERT_TRUE(xs != nullptr && ys != nullptr);
            const row *r = find_id(result, b.id);
            ASSERT_NE(r, nullptr) << "entry " << b.id << " left its id";
            auto fields = [](const row &e) {
                return std::vector<std::string>{e.title, e.user, e.url, e.password, e.notes};
            };
            auto bf = fields(b), xf = fields(*xs), yf = fields(*ys), rf = fields(*r);
            const row *loser = nullptr;
            for (std::size_t f = 0; f < 5; ++f) {
                const bool xc = xf[f] != bf[f], yc = yf[f] != bf[f];
                if (!xc && !yc) EXPECT_EQ(rf[f], bf[f]) << "entry " << b.id << " field " << f;
                else if (xc && !yc) EXPECT_EQ(rf[f], xf[f]) << "entry " << b.id << " field " << f;
                else if (!xc && yc) EXPECT_EQ(rf[f], yf[f]) << "entry " << b.id << " field " << f;
                else if (xf[f] == yf[f]) EXPECT_EQ(rf[f], xf[f]) << "entry " << b.id;
                else {
                    EXPECT_TRUE(rf[f] == xf[f] || rf[f] == yf[f]) << "entry " << b.id;
                    if (loser == nullptr) loser = rf[f] == xf[f] ? ys : xs;
                }
            }
            if (loser != nullptr) {
                row copy = *loser;
                copy.notes = marked(loser->notes, b.id, r->title);
                EXPECT_TRUE(holds_version(result, copy)) << "no conflict copy of " << copy;
            }
            EXPECT_FALSE(kept_over.count(b.id)) << "entry " << b.id << " reported as removed";
            for (const auto &[from, to] : m.outcome.moved_theirs)
                EXPECT_NE(from, b.id) << "the other copy's entry " << b.id << " moved";
        }
        // Additions: this side's at their ids, the other side's somewhere.
        for (std::int64_t id : x.added) {
            const row *added = find_id(x.rows, id);
            if (added == nullptr) continue;
            const row *got = find_id(result, id);
            EXPECT_TRUE(got != nullptr && *got == *added) << "addition " << *added;
        }
        // (once, where this side added the same texts)
        const auto all = texts(result);
        for (std::int64_t id : y.added) {
            const row *added = find_id(y.rows, id);
            if (added == nullptr) continue;
            EXPECT_GE(all.count(std::make_tuple(added->title, added->user, added->url,
                                                added->password, added->notes)),
                      1u)
                << *added;
        }
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace

