// kesp-audit: the findings for tables of known passwords, the Pwned
// Passwords look-up in both layouts (generated lists: found, not found,
// damaged, and how little of the file a look-up reads), and the program end
// to end: output, exit status, nothing secret printed, no socket opened.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <functional>
#include <ctime>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "audit/audit.h"
#include "audit/pwned.h"
#include "audit/strength.h"
#include "harness/harness.h"
#include "memory/secret.h"
#include "store/entry.h"
#include "store/history.h"

namespace {

std::string sha1_hex(const std::string &text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr);
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < length; ++i) out += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    return out;
}

std::vector<unsigned char> sha1_bytes(const std::string &text) {
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha1(), nullptr);
    digest.resize(length);
    return digest;
}

// "YYYY-MM-DD HH:MM:SS", local time, `days` ago.
std::string days_ago(long days) {
    std::time_t t = std::time(nullptr) - days * 86400;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return text;
}

struct row {
    std::string title, user, url, password;
    std::string timestamp = days_ago(1);
};

// An entry list in memory, ids 1, 2, ... as the database would number them.
entry_ptr make_list(const std::vector<row> &rows) {
    entry_ptr head(entry_alloc());
    entry *tail = head.get();
    int id = 0;
    for (const auto &r : rows) {
        tail = entry_append(tail, r.title.c_str(), r.user.c_str(), r.url.c_str(), r.password.c_str(), "");
        tail->id = ++id;
        tail->timestamp = xstrdup(r.timestamp.c_str());
    }
    return head;
}

// "id:kind" for every finding, in order.
std::vector<std::string> kinds(const audit_report &report) {
    std::vector<std::string> out;
    for (const auto &f : report.findings) out.push_back(std::to_string(f.id) + ":" + kind_name(f.kind));
    return out;
}

audit_report audit(const std::vector<row> &rows, audit_request request = {}) {
    if (request.now == 0) request.now = std::time(nullptr);
    entry_ptr list = make_list(rows);
    auto report = audit_entries(list->next, request);
    EXPECT_TRUE(report.has_value());
    return report ? *report : audit_report{};
}

TEST(AuditStrength, KnownPasswordsAreWeakOrStrong) {
    struct known {
        row r;
        bool weak;
        const char *pattern;  // a kind named in the reason, when weak
    };
    const known table[] = {
        {{"mail", "alice", "https://mail.example.org", "iloveyou"}, true, "a common word or password"},
        {{"mail", "alice", "", "P@ssw0rd"}, true, "look-alike characters"},
        {{"mail", "alice", "", "zxcvbnm,./"}, true, "a keyboard pattern"},
        {{"mail", "alice", "", "aaaaaaaaaa"}, true, "repeated"},
        {{"mail", "alice", "", "abcdefgh"}, true, "a sequence"},
        {{"mail", "alice", "", "x7!"}, true, "a few other characters"},
        // Strong alone, weak once the entry's own words are known.
        {{"mail", "alice", "", "zorblatt2024!"}, false, nullptr},
        {{"Zorblatt", "alice", "", "zorblatt2024!"}, true, "a word of the entry's title"},
        {{"shop", "alice", "https://www.zorblatt.example.com/login", "Zorblatt2024"}, true,
         "a word of the entry's title, user name or URL"},
        {{"shop", "zorblatt@example.org", "", "Zorblatt2024"}, true, "a date"},
        {{"mail", "alice", "", "correct horse battery staple"}, false, nullptr},
        {{"mail", "alice", "", "Q9J62)48cY(qQvt7gw?eP7Sf"}, false, nullptr},
    };
    for (const auto &k : table) {
        auto report = audit({k.r});
        ASSERT_EQ(report.checked, 1u);
        bool weak = !report.findings.empty() && report.findings[0].kind == finding_kind::weak;
        EXPECT_EQ(weak, k.weak) << k.r.password << " titled " << k.r.title;
        if (!weak || !k.pattern) continue;
        const finding &f = report.findings[0];
        EXPECT_NE(f.reason.find(k.pattern), std::string::npos) << f.reason;
        EXPECT_LT(f.guesses_log10, weak_below_log10);
        EXPECT_EQ(f.reason.find(k.r.password), std::string::npos) << f.reason;
    }
    // The example: about 37 bits alone, 12 with the dictionary.
    EXPECT_NEAR(estimate_strength("zorblatt2024!", {}).guesses_log10, 37 * 0.30103, 0.5);
    EXPECT_NEAR(estimate_strength("zorblatt2024!", {"zorblatt"}).guesses_log10, 12 * 0.30103, 0.5);
}

TEST(AuditStrength, EntryWordsSplitTheHostIntoLabels) {
    entry_ptr e(entry_new("My Bank!", "Alice.Smith@mail.example.org", "https://login.big-bank.co.uk:8443/a/b", "x", ""));
    auto words = entry_words(*e);
    EXPECT_EQ(words, (std::vector<std::string>{"bank", "alice", "smith", "mail", "example", "org", "https", "login",
                                              "big", "bank", "8443"}));
}

TEST(AuditFindings, EmptyReusedAndOldAcrossTheWholeDatabase) {
    const std::vector<row> rows = {
        {"forum", "a", "", "Tz5-shared-Kq9-value"},
        {"shop", "a", "", "Tz5-shared-Kq9-value"},
        {"bank", "a", "", ""},
        {"news", "a", "", "Tz5-shared-Kq9-value", days_ago(400)},
        {"git", "a", "", "Vb8_unique_Rr3_value", days_ago(30)},
        {"old", "a", "", "Mm2+another+Pp7+pass", "garbage"},
        {"blank", "a", "", ""},
    };
    auto all = audit(rows);
    EXPECT_EQ(kinds(all), (std::vector<std::string>{"1:reused", "2:reused", "3:empty", "4:reused", "4:old", "6:old",
                                                    "7:empty"}));
    EXPECT_EQ(all.findings[0].others, (std::vector<int>{2, 4}));
    EXPECT_EQ(all.findings[0].reason, "the same password as 2 (shop), 4 (news)");
    EXPECT_EQ(*all.findings[4].days, 400);
    EXPECT_EQ(all.findings[4].reason, "not changed for 400 days");
    EXPECT_FALSE(all.findings[5].days.has_value());
    EXPECT_EQ(all.findings[5].reason, "no readable modification time");
    EXPECT_EQ(summary_line(all, {}),
              "7 entries checked: 0 weak, 2 empty, 3 reusing 1 password, 2 older than 365 days.\n");

    // Only entry 2 reported, still reusing with 1 and 4; 30 days is old at 29.
    audit_request some;
    some.ids = {5, 2};
    some.older_than_days = 29;
    auto two = audit(rows, some);
    EXPECT_EQ(kinds(two), (std::vector<std::string>{"2:reused", "5:old"}));
    EXPECT_EQ(two.findings[0].others, (std::vector<int>{1, 4}));
    EXPECT_EQ(summary_line(two, some), "2 entries checked: 0 weak, 0 empty, 1 reusing 1 password, 1 older than 29 days.\n");

    // A change exactly at the limit is not older than it; one in the future is new.
    audit_request at_limit;
    at_limit.older_than_days = 30;
    EXPECT_TRUE(kinds(audit({{"git", "a", "", "Vb8_unique_Rr3_value", days_ago(30)}}, at_limit)).empty());
    EXPECT_TRUE(kinds(audit({{"git", "a", "", "Vb8_unique_Rr3_value", days_ago(-3)}})).empty());

    audit_request unknown;
    unknown.ids = {8};
    entry_ptr list = make_list(rows);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(audit_entries(list->next, unknown).has_value());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Entry 8 not found.\n");
}

TEST(AuditFindings, LinesAndJsonShowTitlesSafely) {
    finding f;
    f.id = 7;
    f.title = "a\"b\\c\nd\x1b[2J\xc2\x85\xff\xe2\x82\xac";
    f.kind = finding_kind::reused;
    f.reason = "the same password as 3 (x)";
    f.others = {3, 9};
    EXPECT_EQ(finding_line(f), "7 a\"b\\c\\x0ad\\x1b[2J\\u0085\\xff\xe2\x82\xac: reused: the same password as 3 (x)\n");
    EXPECT_EQ(finding_json(f), "{\"id\": 7, \"title\": \"a\\\"b\\\\c\\u000ad\\u001b[2J\\u0085\\ufffd\xe2\x82\xac\", "
                               "\"kind\": \"reused\", \"reason\": \"the same password as 3 (x)\", \"others\": [3, 9]}\n");
    auto make = [](finding_kind kind) {
        finding f;
        f.id = 7, f.title = "t", f.kind = kind, f.reason = "r";
        return f;
    };
    finding weak = make(finding_kind::weak);
    weak.guesses_log10 = 3.6;
    EXPECT_EQ(finding_json(weak), "{\"id\": 7, \"title\": \"t\", \"kind\": \"weak\", \"reason\": \"r\", \"guesses_log10\": 3.6}\n");
    finding old = make(finding_kind::old);
    EXPECT_EQ(finding_json(old), "{\"id\": 7, \"title\": \"t\", \"kind\": \"old\", \"reason\": \"r\", \"days\": null}\n");
    old.days = 400;
    EXPECT_EQ(finding_json(old), "{\"id\": 7, \"title\": \"t\", \"kind\": \"old\", \"reason\": \"r\", \"days\": 400}\n");
    finding breached = make(finding_kind::breached);
    breached.count = 3861493;
    EXPECT_EQ(finding_json(breached),
              "{\"id\": 7, \"title\": \"t\", \"kind\": \"breached\", \"reason\": \"r\", \"count\": 3861493}\n");
}

// A generated Pwned Passwords list: `random` random hashes and the SHA-1
// of each chosen password (with its count), in both layouts.
class PwnedList : public ::testing::Test {
protected:
    std::map<std::string, std::uint64_t> lines;  // hash -> count, ordered by hash
    std::mt19937_64 random{20240917};

    std::string random_hash(const std::string &prefix = "") {
        static const char hex[] = "0123456789ABCDEF";
        std::string h = prefix;
        while (h.size() < 40) h += hex[random() % 16];
        return h;
    }
    void fill(std::size_t count) {
        while (lines.size() < count) lines[random_hash()] = 1 + random() % 5000;
    }
    std::string single_file(const std::string &name, const char *end = "\r\n") {
        std::string text;
        for (const auto &[hash, count] : lines) text += hash + ":" + std::to_string(count) + end;
        harness::write_file(dir.file(name), text);
        return dir.file(name);
    }
    // Every prefix with lines gets its range file, and the folder counts as
    // complete with those (the real list has a million).
    std::string range_folder(const std::string &name) {
        std::string folder = dir.file(name);
        ::mkdir(folder.c_str(), 0700);
        std::map<std::string, std::string> files;
        for (const auto &[hash, count] : lines) files[hash.substr(0, 5)] += hash.substr(5) + ":" + std::to_string(count) + "\r\n";
        for (const auto &[prefix, text] : files) harness::write_file(folder + "/" + prefix + ".txt", text);
        ::setenv("KESP_TEST_RANGE_FILES", std::to_string(files.size()).c_str(), 1);
        return folder;
    }
    void TearDown() override { ::unsetenv("KESP_TEST_RANGE_FILES"); }
    std::optional<pwned_lookup> find(const pwned_list &list, const std::string &password) {
        return list.find(sha1_bytes(password).data());
    }
    // The message a refused list or look-up printed.
    template <typename Call>
    std::string refusal(Call call) {
        testing::internal::CaptureStderr();
        bool refused = !call();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(refused) << err;
        return err;
    }
    harness::scratch_dir dir;
};

TEST_F(PwnedList, FindsChosenPasswordsInBothLayoutsAndNotOthers) {
    const std::map<std::string, std::uint64_t> chosen = {{"password", 9545824}, {"zorblatt2024!", 3}, {"123456", 37359195}};
    for (const auto &[password, count] : chosen) lines[sha1_hex(password)] = count;
    fill(3000);
    // The first and the last line of the list are found too.
    lines[std::string(40, '0')] = 11;
    lines[std::string(40, 'F')] = 12;
    // A password that is not listed, but whose range file exists.
    const std::string absent = "Vb8_unique_Rr3_value";
    lines[random_hash(sha1_hex(absent).substr(0, 5))] = 1;

    for (const std::string &path : {single_file("sorted.txt"), single_file("lf.txt", "\n"), range_folder("ranges")}) {
        auto list = pwned_list::open(path);
        ASSERT_TRUE(list) << path;
        for (const auto &[password, count] : chosen) {
            auto hit = find(*list, password);
            ASSERT_TRUE(hit) << path;
            EXPECT_TRUE(hit->found) << path << " " << password;
            EXPECT_EQ(hit->count, count);
        }
        auto miss = find(*list, absent);
        ASSERT_TRUE(miss) << path;
        EXPECT_FALSE(miss->found);
        if (path.find("ranges") == std::string::npos) {
            unsigned char zero[20] = {}, ones[20];
            std::fill(std::begin(ones), std::end(ones), 0xff);
            EXPECT_EQ(list->find(zero)->count, 11u);
            EXPECT_EQ(list->find(ones)->count, 12u);
        }
    }
}

TEST_F(PwnedList, ALookUpReadsAFewSmallPiecesOfALargeFile) {
    fill(200000);
    std::vector<std::string> present;
    for (int i = 0; i < 50; ++i) {
        std::string p = "present-" + std::to_string(i);
        lines[sha1_hex(p)] = 1;
        present.push_back(p);
    }
    std::string path = single_file("large.txt");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    auto list = pwned_list::open(path);
    ASSERT_TRUE(list);
    std::uint64_t opened_bytes = list->bytes_read(), opened_reads = list->reads();
    EXPECT_LE(opened_bytes, 8192u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(find(*list, present[i])->found);
        EXPECT_FALSE(find(*list, "absent-" + std::to_string(i))->found);
    }
    // 100 look-ups in a 9 MB file: SHA-1 values are uniform, so a search
    // placed by interpolation reads two or three pages, never the file.
    std::uint64_t per_lookup = (list->bytes_read() - opened_bytes) / 100;
    EXPECT_LE(per_lookup, 3u * (4096 + 81)) << "bytes per look-up";
    EXPECT_LE((list->reads() - opened_reads) / 100.0, 3.0) << "reads per look-up";
    EXPECT_LT(list->bytes_read(), static_cast<std::uint64_t>(st.st_size) / 10);
}

// A list ordered by hash whose hashes are not spread evenly (nearly all in
// one corner of the range): interpolation alone would creep towards the
// target a page at a time; the search stays within twice a binary search.
TEST_F(PwnedList, AnUnevenListCostsNoMoreThanTwiceABinarySearch) {
    while (lines.size() < 200000) lines[random_hash("0000")] = 1;
    lines[random_hash("F")] = 1;
    std::vector<std::string> present;
    for (auto it = lines.begin(); present.size() < 20; std::advance(it, 9973))
        present.push_back(it->first);
    std::string path = single_file("uneven.txt");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    auto list = pwned_list::open(path);
    ASSERT_TRUE(list);
    std::uint64_t opened_reads = list->reads();
    for (const std::string &hash : present) {
        std::array<unsigned char, 20> digest{};
        for (std::size_t i = 0; i < 20; ++i)
            digest[i] = static_cast<unsigned char>(std::stoi(hash.substr(2 * i, 2), nullptr, 16));
        auto found = list->find(digest.data());
        ASSERT_TRUE(found && found->found) << hash;
    }
    double pages = static_cast<double>(st.st_size) / 4096;
    EXPECT_LE((list->reads() - opened_reads) / 20.0, 2 * std::log2(pages) + 2)
        << "reads per look-up";
}

TEST_F(PwnedList, RefusesFilesInNeitherFormAndOutOfOrder) {
    fill(5000);
    std::string sorted = single_file("sorted.txt");
    std::string text = harness::read_file(sorted);
    std::vector<std::string> all(lines.size());
    std::transform(lines.begin(), lines.end(), all.begin(),
                   [](const auto &l) { return l.first + ":" + std::to_string(l.second) + "\r\n"; });

    auto join = [](const std::vector<std::string> &v) {
        std::string s;
        for (const auto &l : v) s += l;
        return s;
    };
    std::vector<std::string> by_count = all;
    std::shuffle(by_count.begin(), by_count.end(), random);
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return std::tolower(c); });
    std::string ntlm;
    for (const auto &l : all) ntlm += l.substr(8);
    struct damaged {
        const char *name;
        std::string content;
        const char *says;
    };
    const damaged table[] = {
        {"by-count.txt", join(by_count), "are not ordered by hash"},
        {"lower.txt", lower, "is not 40 upper-case hex digits"},
        {"ntlm.txt", ntlm, "is not 40 upper-case hex digits"},
        {"text.txt", "hello\nworld\n", "is not 40 upper-case hex digits"},
        {"no-count.txt", all[0].substr(0, 41) + "\r\n" + all[1], "is not 40"},
        {"empty.txt", "", "is empty"},
    };
    for (const auto &d : table) {
        harness::write_file(dir.file(d.name), d.content);
        auto err = refusal([&] { return pwned_list::open(dir.file(d.name)).has_value(); });
        EXPECT_NE(err.find(d.says), std::string::npos) << d.name << ": " << err;
    }
    EXPECT_NE(refusal([&] { return pwned_list::open(dir.file("none")).has_value(); }).find("Cannot open"),
              std::string::npos);

    auto digest = [](const std::string &line) {
        std::vector<unsigned char> bytes(20);
        for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(std::stoi(line.substr(2 * i, 2), nullptr, 16));
        return bytes;
    };
    // Intact ends, the middle half reversed: a search for what lies there
    // runs into it, found or not.
    std::vector<std::string> reversed = all;
    std::reverse(reversed.begin() + reversed.size() / 4, reversed.begin() + 3 * reversed.size() / 4);
    harness::write_file(dir.file("reversed.txt"), join(reversed));
    auto list = pwned_list::open(dir.file("reversed.txt"));
    ASSERT_TRUE(list);
    for (std::size_t k = all.size() / 3; k < 2 * all.size() / 3; k += all.size() / 20) {
        auto target = digest(all[k]);
        EXPECT_NE(refusal([&] { return list->find(target.data()).has_value(); })
                      .find("are not ordered by hash; kesp-audit needs the list ordered by hash"),
                  std::string::npos);
        target[19] ^= 1;  // a hash the list does not hold
        EXPECT_NE(refusal([&] { return list->find(target.data()).has_value(); }).find("are not ordered by hash"),
                  std::string::npos);
    }
    // A line damaged where a search reads it.
    std::string middle = all[all.size() / 2];
    std::string cut = text;
    cut.replace(cut.find(middle), middle.size(), middle.substr(0, 20) + "\r\n");
    harness::write_file(dir.file("cut.txt"), cut);
    list = pwned_list::open(dir.file("cut.txt"));
    ASSERT_TRUE(list);
    EXPECT_NE(refusal([&] { return list->find(digest(middle).data()).has_value(); }).find("is not 40 upper-case hex digits"),
              std::string::npos);
}

// The name of a range file is the start of the hash of a password: no
// message names one. Only the range files that look-ups need are opened;
// one that is missing, empty or not a readable regular file (a FIFO would
// block the look-up) fails its look-up silently and is counted, each file
// once, in one message after the look-ups. A damaged one fails at once,
// still without its name.
TEST_F(PwnedList, MissingOrDamagedRangeFilesAreCountedNeverNamed) {
    lines[sha1_hex("password")] = 5;
    fill(2000);
    const std::string folder = range_folder("ranges");
    const std::string prefix = sha1_hex("password").substr(0, 5);
    const std::string file = folder + "/" + prefix + ".txt";
    const std::string text = harness::read_file(file);
    const std::string incomplete =
        "; this folder holds no complete set of Pwned Passwords range files.\n";
    // Two hashes of one prefix whose file is missing, and one of another.
    auto digest_with = [](unsigned char first, unsigned char last) {
        std::array<unsigned char, 20> d{};
        d[0] = first;
        d[19] = last;
        return d;
    };
    ASSERT_NE(::access((folder + "/00000.txt").c_str(), F_OK), 0);
    ASSERT_NE(::access((folder + "/10000.txt").c_str(), F_OK), 0);

    const std::string some_missing = "2 of the 3 range files the look-ups needed are missing and 1 is";
    const struct {
        const char *name;
        std::function<void()> make;
        std::string counts;
    } cases[] = {
        {"missing", [&] { ::unlink(file.c_str()); },
         "3 of the 3 range files the look-ups needed are missing and 0 are"},
        {"a FIFO", [&] { ::mkfifo(file.c_str(), 0600); }, some_missing},
        {"empty", [&] { harness::write_file(file, ""); }, some_missing},
        {"unreadable", [&] { harness::write_file(file, text); ::chmod(file.c_str(), 0); },
         some_missing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (::geteuid() == 0 && std::string(c.name) == "unreadable") continue;  // root reads it
        ::unlink(file.c_str());
        c.make();
        auto list = pwned_list::open(folder);
        ASSERT_TRUE(list);
        std::string said = refusal([&] {
            for (auto d : {digest_with(0, 1), digest_with(0, 2), digest_with(0x10, 0)}) {
                auto none = list->find(d.data());
                if (!none || none->looked_up || none->found) return true;
            }
            auto none = find(*list, "password");
            return !none || none->looked_up || none->found;
        });
        EXPECT_EQ(said, "");
        said = refusal([&] { return list->range_files_complete(); });
        EXPECT_EQ(said, folder + ": " + c.counts + " empty or not a readable regular file" +
                            incomplete);
        EXPECT_EQ(said.find(prefix), std::string::npos);
        ::chmod(file.c_str(), 0600);
    }

    // Whole hashes where suffixes belong.
    ::unlink(file.c_str());
    harness::write_file(file, sha1_hex("password") + ":5\r\n");
    auto list = pwned_list::open(folder);
    ASSERT_TRUE(list);
    std::string said = refusal([&] { return find(*list, "password").has_value(); });
    EXPECT_NE(said.find("is not 35 upper-case hex digits"), std::string::npos) << said;
    EXPECT_EQ(said.find(prefix), std::string::npos) << said;
    harness::write_file(file, text);
    EXPECT_TRUE(find(*list, "password")->found);
    EXPECT_TRUE(list->range_files_complete());
}

// A folder holding only the range files its passwords need is searched as
// well as the whole list: no other file of it is ever looked at.
TEST_F(PwnedList, AFolderNeedsOnlyTheRangeFilesOfItsPasswords) {
    lines[sha1_hex("password")] = 5;
    lines[random_hash(sha1_hex("absent one").substr(0, 5))] = 1;
    const std::string folder = range_folder("few");
    auto list = pwned_list::open(folder);
    ASSERT_TRUE(list);
    EXPECT_EQ(find(*list, "password")->count, 5u);
    EXPECT_FALSE(find(*list, "absent one")->found);
    EXPECT_TRUE(list->range_files_complete());
}

// End to end: the program on a database of the sandbox.
class AuditProgram : public ::testing::Test {
protected:
    harness::result audit(const std::vector<std::string> &args) const {
        return box.run_program(harness::built_program("kesp-audit"), args);
    }
    harness::sandbox box;
};

TEST_F(AuditProgram, ReportsFindingsAndExitsWithOne) {
    harness::make_database(box, box.path("db.sqlite"),
                           {{"Zorblatt", "alice", "https://zorblatt.example.com", "zorblatt2024!", ""},
                            {"shop", "bob", "", "Kq9-shared-Tz5-value", "notes"},
                            {"forum", "bob", "", "Kq9-shared-Tz5-value", "", "2001-02-03 04:05:06"},
                            {"bank", "acct", "", "", ""},
                            {"git", "me", "", "Vb8_unique_Rr3_value", ""}});
    std::string list;
    for (const char *p : {"zorblatt2024!", "Kq9-shared-Tz5-value"}) list += sha1_hex(p) + ":" + (p[0] == 'z' ? "3" : "7") + "\r\n";
    std::mt19937_64 random(7);
    for (int i = 0; i < 3000; ++i) {
        std::string h;
        for (int k = 0; k < 40; ++k) h += "0123456789ABCDEF"[random() % 16];
        list += h + ":1\r\n";
    }
    std::vector<std::string> sorted;
    for (std::size_t at = 0; at < list.size(); at = list.find('\n', at) + 1) sorted.push_back(list.substr(at, list.find('\n', at) + 1 - at));
    std::sort(sorted.begin(), sorted.end());
    std::string joined;
    for (const auto &l : sorted) joined += l;
    harness::write_file(box.path("pwned.txt"), joined);

    auto r = audit({"--hibp", "pwned.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const std::string old_days = r.out.substr(r.out.find("not changed for ") + 16);
    EXPECT_EQ(r.out,
              "1 Zorblatt: weak: a word of the entry's title, user name or URL, a date, a common word or password with "
              "look-alike characters; about 10^4 guesses\n"
              "1 Zorblatt: breached: in the Pwned Passwords list, seen 3 times\n"
              "2 shop: reused: the same password as 3 (forum)\n"
              "2 shop: breached: in the Pwned Passwords list, seen 7 times\n"
              "3 forum: reused: the same password as 2 (shop)\n"
              "3 forum: old: not changed for " + old_days.substr(0, old_days.find('\n')) + "\n"
              "3 forum: breached: in the Pwned Passwords list, seen 7 times\n"
              "4 bank: empty: no password\n"
              "5 entries checked: 1 weak, 1 empty, 2 reusing 1 password, 1 older than 365 days, 3 breached.\n");

    auto json = audit({"--json", "--older-than", "100000", "2", "4"});
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.out,
              "{\"id\": 2, \"title\": \"shop\", \"kind\": \"reused\", \"reason\": \"the same password as 3 (forum)\", "
              "\"others\": [3]}\n"
              "{\"id\": 4, \"title\": \"bank\", \"kind\": \"empty\", \"reason\": \"no password\"}\n");

    auto clean = audit({"5"});
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out, "1 entry checked: 0 weak, 0 empty, 0 reusing 0 passwords, 0 older than 365 days.\n");

    // Nothing secret: no password, none cut by a character, no hash or
    // piece of one, in anything the program wrote.
    for (const auto &run : {r, json, clean}) {
        std::string all = run.out + run.err;
        for (const std::string p : {"zorblatt2024!", "Kq9-shared-Tz5-value", "Vb8_unique_Rr3_value"}) {
            for (const std::string &piece : {p, p.substr(1), p.substr(0, p.size() - 1), p.substr(3, 8)})
                EXPECT_EQ(all.find(piece), std::string::npos) << piece;
            std::string hash = sha1_hex(p), lower = hash;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return std::tolower(c); });
            for (std::size_t at = 0; at + 8 <= 40; at += 8) {
                EXPECT_EQ(all.find(hash.substr(at, 8)), std::string::npos);
                EXPECT_EQ(all.find(lower.substr(at, 8)), std::string::npos);
            }
        }
    }
}

// A database of every kind of finding, made by rules this test knows, so
// that what the program reports can be said in advance: reuse across the
// whole table and with earlier passwords, weak, empty, old, unreadable
// times and breached, for all entries and for a few.
TEST_F(AuditProgram, AGeneratedDatabaseGetsExactlyTheFindingsItsRulesGive) {
    struct made {
        int id;
        std::string title, user, url, password, timestamp;
        std::vector<std::string> earlier;  // newest first
    };
    std::mt19937 random(2026);
    auto strong = [&] {
        std::string p;
        const std::string alphabet = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNP23456789";
        for (int k = 0; k < 20; ++k) p += alphabet[random() % alphabet.size()];
        return p;
    };
    std::vector<made> all;
    const int count = 240;
    for (int i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        made m{i, "site " + n, "user", "https://site" + n + ".example.org", strong(),
               i % 2 ? "2020-01-01 00:00:00" : days_ago(1), {}};
        if (i % 13 == 0) m.password = "site" + n;                             // weak
        if (i % 11 == 1) m.password = "Grp-" + std::to_string(i / 33) + "-Xq9#kLm2v";  // reused
        if (i == 45) m.title = "tab\there \xc3\xa9t\xc3\xa9 \xff";  // named by the reuse of others
        if (i % 17 == 0) m.password = "";                                     // empty
        if (i % 34 == 0) m.user = m.url = "";                                 // a note: no finding
        if (i % 23 == 0) m.timestamp = "garbage";
        if (i % 7 == 0) {
            std::string other = strong();
            if (i % 14 == 0) m.earlier = {other, m.password};         // changed back to it
            else if (i % 21 == 0) m.earlier = {m.password, other};    // only other fields since
            else m.earlier = {"a1", "a2", "a3", "a4", "a5", m.password};  // the sixth different one
        }
        all.push_back(m);
    }
    std::vector<harness::row> rows;
    for (const made &m : all)
        rows.emplace_back(m.title, m.user, m.url, m.password, "n", m.timestamp);
    const std::string db = box.path("made.db");
    harness::make_database(box, db, rows);
    std::string record = std::string(history_table_statement) + ";" + history_index_statement + ";";
    for (const made &m : all)
        for (std::size_t k = m.earlier.size(); k-- > 0;)  // oldest first: seq grows to the newest
            record += "insert into history(entry_id,password,timestamp,replaced,why) values(" +
                      std::to_string(m.id) + ",'" + m.earlier[k] + "','2019-01-01 00:00:00',"
                      "'2020-01-01 00:00:00','edit');";
    harness::sql(db, "begin;" + record + "commit;");

    std::vector<std::string> listed;
    std::map<std::string, std::uint64_t> seen;
    for (const made &m : all)
        if (m.id % 39 == 0 && !m.password.empty()) {
            seen[m.password] = static_cast<std::uint64_t>(m.id);
            listed.push_back(sha1_hex(m.password) + ":" + std::to_string(m.id) + "\r\n");
        }
    std::sort(listed.begin(), listed.end());
    std::string list;
    for (const auto &l : listed) list += l;
    harness::write_file(box.path("pwned.txt"), list);

    // What the rules say, one entry after another.
    auto expected = [&](const std::vector<int> &ids, audit_request &request) {
        request.now = std::time(nullptr);
        std::map<std::string, std::vector<int>> sharing;
        for (const made &m : all)
            if (!m.password.empty()) sharing[m.password].push_back(m.id);
        audit_report report;
        std::set<std::string> shared;
        for (const made &m : all) {
            if (!ids.empty() && std::find(ids.begin(), ids.end(), m.id) == ids.end()) continue;
            ++report.checked;
            auto add = [&](finding_kind kind, std::string reason) -> finding & {
                finding f;
                f.id = m.id;
                f.title = m.title;
                f.kind = kind;
                f.reason = std::move(reason);
                report.findings.push_back(f);
                return report.findings.back();
            };
            entry_ptr e(entry_new(m.title.c_str(), m.user.c_str(), m.url.c_str(),
                                  m.password.c_str(), ""));
            if (!m.password.empty()) {
                strength st = estimate_strength(m.password.c_str(), entry_words(*e));
                if (st.guesses_log10 < weak_below_log10) {
                    std::string size =
                        st.guesses_log10 < 1
                            ? "fewer than 10 guesses"
                            : "about 10^" + std::to_string(std::lround(st.guesses_log10)) +
                                  " guesses";
                    add(finding_kind::weak, st.patterns + "; " + size).guesses_log10 =
                        std::round(st.guesses_log10 * 10) / 10;
                    ++report.weak;
                }
            } else if (!m.user.empty() || !m.url.empty()) {
                add(finding_kind::empty, "no password");
                ++report.empty;
            }
            std::vector<int> others;
            if (!m.password.empty())
                for (int id : sharing[m.password])
                    if (id != m.id) others.push_back(id);
            if (!others.empty()) {
                std::string reason = "the same password as ";
                for (int id : others)
                    reason += (id == others[0] ? "" : ", ") + std::to_string(id) + " (" +
                              all[id - 1].title + ")";
                add(finding_kind::reused, reason).others = others;
                shared.insert(m.password);
            }
            std::vector<secret_string> earlier(m.earlier.begin(), m.earlier.end());
            bool again = !m.password.empty() && reuses_earlier_password(m.password, earlier);
            if (again) add(finding_kind::reused, "an earlier password of this entry");
            if (!others.empty() || again) ++report.reusing;
            auto changed = stored_time(m.timestamp.c_str());
            long age = changed ? static_cast<long>(std::difftime(request.now, *changed)) : 0;
            if (!changed || age > request.older_than_days * 86400L) {
                std::optional<long> days;
                if (changed) days = age / 86400;
                add(finding_kind::old, days ? "not changed for " + std::to_string(*days) + " days"
                                            : "no readable modification time").days = days;
                ++report.old;
            }
            if (request.pwned != nullptr && seen.count(m.password) != 0) {
                std::uint64_t n = seen[m.password];
                add(finding_kind::breached, "in the Pwned Passwords list, seen " +
                                                std::to_string(n) + (n == 1 ? " time" : " times"))
                    .count = n;
                ++report.breached;
            }
        }
        report.reused_passwords = shared.size();
        std::string text, json;
        for (const finding &f : report.findings) {
            text += finding_line(f);
            json += finding_json(f);
        }
        return std::make_pair(text + summary_line(report, request), json);
    };
    auto opened = pwned_list::open(box.path("pwned.txt"));
    ASSERT_TRUE(opened);
    audit_request everything;
    everything.pwned = &*opened;
    auto want = expected({}, everything);
    auto r = audit({"--hibp", "pwned.txt"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, want.first);
    for (const char *kind : {": weak:", ": empty:", ": reused: the same", ": reused: an earlier",
                             ": old: not", ": old: no readable", ": breached:"})
        EXPECT_NE(r.out.find(kind), std::string::npos) << kind;

    audit_request some;
    some.older_than_days = 30;
    auto few = expected({45, 2, 14, 21, 23, 34, 78}, some);
    auto json = audit({"--json", "--older-than", "30", "45", "2", "14", "21", "23", "34", "78"});
    EXPECT_EQ(json.status, 1) << json.err;
    EXPECT_EQ(json.out, few.second);
    auto text = audit({"--older-than", "30", "45", "2", "14", "21", "23", "34", "78"});
    EXPECT_EQ(text.out, few.first);
}

TEST_F(AuditProgram, ErrorsAndBadUsageExitWithTwo) {
    struct refused {
        std::vector<std::string> args;
        std::string err;  // what standard error holds
    };
    const char *usage = "Usage: kesp-audit [--hibp PATH] [--older-than DAYS] [--json] [ID...]\n";
    const refused without_db[] = {
        {{}, "No decrypted database found.\n"},
        {{"--older-than", "x"}, "--older-than takes a whole number of days, not x.\n"},
        {{"--older-than", "-1"}, "--older-than takes a whole number of days, not -1.\n"},
        {{"0"}, usage},
        {{"1", "x"}, usage},
        {{"--no-such"}, "unrecognized option '--no-such'\n"},
        {{"--hibp", "missing.txt"}, "Cannot open missing.txt: No such file or directory\n"},
        {{"--hibp", "fifo"}, "fifo is no regular file.\n"},
    };
    ASSERT_EQ(::mkfifo(box.path("fifo").c_str(), 0600), 0);
    for (const auto &c : without_db) {
        auto r = audit(c.args);
        EXPECT_EQ(r.status, 2) << c.args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    harness::make_database(box, box.path("db.sqlite"), {{"mail", "a", "", "Vb8_unique_Rr3_value", ""}});
    auto unknown = audit({"1", "9"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "Entry 9 not found.\n");
    EXPECT_EQ(unknown.out, "");

    ASSERT_EQ(harness::encrypt(box, "master").status, 0);
    harness::write_file(box.pointer_file(), box.path("db.sqlite"));
    auto encrypted = audit({});
    EXPECT_EQ(encrypted.status, 2);
    EXPECT_EQ(encrypted.err, "The active database " + box.path("db.sqlite") + " is encrypted, not decrypted.\n");
}

// Only a login lacks its password: an entry with no password is called
// empty when it has a user name or a URL, not when it is a note or a card
// or identity without a number.
TEST_F(AuditProgram, EmptyOnlyWhereAPasswordBelongs) {
    harness::make_database(box, box.path("db.sqlite"),
                           {{"user only", "me", "", "", ""},
                            {"url only", "", "https://x.example", "", ""},
                            {"wifi", "", "", "", "the code is on the router"},
                            {"Visa", "", "", "", "Cardholder: Bob\nExpiry year: 2030"},
                            {"blank", "", "", "", ""}});
    auto r = audit({"--older-than", "100000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "1 user only: empty: no password\n"
                     "2 url only: empty: no password\n"
                     "5 entries checked: 0 weak, 2 empty, 0 reusing 0 passwords, 0 older than "
                     "100000 days.\n");
}

// End to end, a folder whose range file for a password is missing, or is
// a FIFO: the run ends with the count, never the file's name, and never
// blocks.
TEST_F(AuditProgram, AnIncompleteRangeFolderIsRefusedByCount) {
    harness::make_database(box, box.path("db.sqlite"),
                           {{"mail", "a", "", "Vb8_unique_Rr3_value", ""}});
    const std::string hash = sha1_hex("Vb8_unique_Rr3_value"), folder = box.path("ranges");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    for (const char *other : {"00000", "FFFFF"})
        harness::write_file(folder + "/" + other + ".txt", std::string(35, '0') + ":1\r\n");
    const std::string range = folder + "/" + hash.substr(0, 5) + ".txt";
    const struct {
        const char *name;
        bool fifo;
        const char *counts;
    } cases[] = {{"missing", false, "1 of the 1 range files the look-ups needed is missing and 0 are"},
                 {"a FIFO", true, "0 of the 1 range files the look-ups needed are missing and 1 is"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fifo) {
            ASSERT_EQ(::mkfifo(range.c_str(), 0600), 0);
        }
        auto r = audit({"--hibp", "ranges"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "ranges: " + std::string(c.counts) +
                             " empty or not a readable regular file; this folder holds no complete set of "
                             "Pwned Passwords range files.\n");
        EXPECT_EQ(r.err.find(hash.substr(0, 5)), std::string::npos);
    }
    ::unlink(range.c_str());
    harness::write_file(range, hash.substr(5) + ":4\r\n");
    auto r = audit({"--hibp", "ranges"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("breached: in the Pwned Passwords list, seen 4 times"),
              std::string::npos)
        << r.out;

    // A range file damaged where the search looks: nothing reported. An id
    // that names no entry is what is said then, as it is said first.
    harness::write_file(range, hash + ":4\r\n");
    auto damaged = audit({"--hibp", "ranges"});
    EXPECT_EQ(damaged.status, 2);
    EXPECT_EQ(damaged.out, "");
    EXPECT_EQ(damaged.err, "ranges (a range file): the line at byte 0 is not 35 upper-case hex "
                           "digits, a colon and a count; this is no Pwned Passwords list (SHA-1, "
                           "ordered by hash).\n");
    auto unknown = audit({"--hibp", "ranges", "1", "7"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "Entry 7 not found.\n");
}

// No network, ever: the program runs without one, and the kernel sees no
// socket call from it (strace, where the machine lets the tests trace).
TEST_F(AuditProgram, OpensNoSocket) {
    harness::make_database(box, box.path("db.sqlite"), {{"mail", "a", "", "password", ""}});
    harness::write_file(box.path("pwned.txt"), sha1_hex("password") + ":9\r\n");
    std::string env = "env -i HOME=" + box.home() + " PATH=/usr/bin:/bin ";
    std::string program = harness::built_program("kesp-audit") + " --hibp " + box.path("pwned.txt");

    auto isolated = harness::run_shell("unshare --net true 2>/dev/null");
    if (isolated.status == 0) {
        auto r = harness::run_shell(env + "unshare --net " + program);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("breached: in the Pwned Passwords list, seen 9 times"), std::string::npos) << r.output;
    }
    if (harness::run_shell("command -v strace >/dev/null").status != 0) GTEST_SKIP() << "strace is not installed";
    std::string log = box.path("strace.log");
    auto traced = [&](const std::string &command) {
        auto r = harness::run_shell(env + "strace -f -qq -e trace=socket,socketpair,connect -e signal=none -o " + log + " " + command + " >/dev/null 2>&1");
        return std::make_pair(r.status, harness::read_file(log));
    };
    // The check can see a socket call: a control program that makes one.
    auto control = traced("python3 -c 'import socket; socket.socket()'");
    if (control.second.find("socket(") == std::string::npos) GTEST_SKIP() << "strace cannot trace here";
    auto [status, calls] = traced(program);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(calls, "");
}

}  // namespace

// A password the entry had before, among its last five different ones.
namespace {

TEST(AuditEarlier, AnEarlierPasswordOfTheSameEntry) {
    struct earlier_case {
        const char *current;
        std::vector<std::string> earlier;  // newest first
        bool found;
    };
    const std::vector<earlier_case> cases = {
        {"a", {}, false},
        {"a", {"b"}, false},
        {"a", {"b", "a"}, true},
        {"a", {"a", "a"}, false},            // only edits of other fields since
        {"a", {"a", "b", "a"}, true},        // then a change back to it
        {"a", {"b", "c", "d", "e", "f", "a"}, false},  // the sixth different one
        {"a", {"b", "b", "c", "c", "d", "e", "f", "a"}, false},
        {"a", {"b", "c", "b", "d", "e", "a"}, true},   // b counts once: a is the fifth
    };
    for (const earlier_case &c : cases) {
        std::vector<secret_string> earlier;
        for (const std::string &p : c.earlier) earlier.emplace_back(p);
        EXPECT_EQ(reuses_earlier_password(c.current, earlier), c.found)
            << c.current << " after " << c.earlier.size();
        // The audit reads the record a password at a time, beside another
        // entry with a record of its own; it must come to the same answer.
        earlier_passwords kept{{1, {"z"}}, {2, earlier}, {3, {"a", "b"}}};
        audit_request request;
        request.earlier = &kept;
        auto report = audit({{"one", "u", "", "Tz5-first-Kq9-value"},
                             {"two", "u", "", c.current},
                             {"three", "u", "", "Tz5-third-Kq9-value"}},
                            request);
        std::vector<std::string> want;
        for (const finding &f : report.findings)
            if (f.kind == finding_kind::reused) want.push_back(std::to_string(f.id));
        EXPECT_EQ(want, c.found ? std::vector<std::string>{"2"} : std::vector<std::string>{})
            << c.current << " after " << c.earlier.size();
    }
}

TEST(AuditEarlier, KespAuditReportsIt) {
    harness::sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {{"mail", "me", "mail.org", "Old-Pw-7381-long!", "n"},
                                     {"bank", "me", "bank.com", "Bank-Pw-9911-long!", "n"}});
    box.run({"-e", "1"}, "\n\n\n\n");  // a new password
    harness::sql(db, "update entries set password='Old-Pw-7381-long!' where id=1;");
    auto r = box.run_program(harness::built_program("kesp-audit"), {"1"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "1 mail: reused: an earlier password of this entry\n"
                     "1 entry checked: 0 weak, 0 empty, 1 reusing 0 passwords, 0 older than "
                     "365 days.\n");
    auto other = box.run_program(harness::built_program("kesp-audit"), {"2"});
    EXPECT_EQ(other.status, 0) << other.out;
}

}  // namespace
