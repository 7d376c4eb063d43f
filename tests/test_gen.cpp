// kesp-gen: the word list built in, uniform draws (a chi-square test on
// seeded draws), the strength figures, and the program end to end: lengths
// and counts, bad usage, --set, --show and --clip.
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "harness/harness.h"
#include "output/generator.h"
#include "output/passphrase.h"

namespace {

const std::string word_list_file = "/usr/lib/python3/dist-packages/xkcdpass/static/eff-long";

std::vector<std::string> split(const std::string &text, char at) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, at);) parts.push_back(part);
    return parts;
}

// Draws from the test build's seeded stream (KESP_TEST_SEED) while alive.
struct seeded {
    explicit seeded(const char *seed) { ::setenv("KESP_TEST_SEED", seed, 1); }
    ~seeded() { ::unsetenv("KESP_TEST_SEED"); }
};

// Pearson's statistic for `counts` against `expected` per bin.
double chi_square(const std::vector<long> &counts, const std::vector<double> &expected) {
    double sum = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) sum += std::pow(counts[i] - expected[i], 2) / expected[i];
    return sum;
}

// With k degrees of freedom the statistic has mean k and variance 2k; a
// uniform draw stays well within 5 standard deviations, a biased one does
// not (at these sample sizes, a bias of a few per cent in one bin).
void expect_uniform(double statistic, std::size_t bins) {
    double k = static_cast<double>(bins - 1);
    EXPECT_LT(std::abs(statistic - k), 5 * std::sqrt(2 * k)) << statistic << " for " << k << " degrees";
}

TEST(WordList, IsTheWholeEffLongListInItsOrder) {
    if (!harness::exists(word_list_file)) GTEST_SKIP() << "xkcdpass is not installed";
    auto words = split(harness::read_file(word_list_file), '\n');
    ASSERT_EQ(words.size(), 7776u);
    ASSERT_EQ(eff_long_count, 7776u);
    for (std::size_t i = 0; i < words.size(); ++i) ASSERT_EQ(words[i], eff_long_words[i]) << i;
    std::set<std::string> distinct(words.begin(), words.end());
    EXPECT_EQ(distinct.size(), 7776u);
    EXPECT_EQ(std::string(eff_long_words[0]), "abacus");
    EXPECT_EQ(std::string(eff_long_words[7775]), "zoom");
    EXPECT_NEAR(passphrase_word_bits(), 12.925, 0.001);
    EXPECT_NEAR(6 * passphrase_word_bits(), 77.55, 0.01);
    // 68 characters at 1/72 and two at 2/72.
    EXPECT_NEAR(password_char_bits(), 68.0 / 72 * std::log2(72.0) + 4.0 / 72 * std::log2(36.0), 1e-9);
    EXPECT_NEAR(password_char_bits(), 6.11, 0.005);
}

TEST(SeededDraws, AreUniformOverWordsAndCharacters) {
    seeded seed("1");
    const long per_word = 40;
    std::vector<long> words(eff_long_count);
    for (long i = 0; i < per_word * static_cast<long>(eff_long_count); ++i) ++words[random_index(eff_long_count)];
    expect_uniform(chi_square(words, std::vector<double>(eff_long_count, per_word)), eff_long_count);

    const std::size_t n = 720000;
    std::string drawn(n, '\0');
    draw_password(drawn.data(), n);
    std::map<char, long> by_char;
    for (char c : drawn) ++by_char[c];
    std::vector<long> counts;
    std::vector<double> expected;
    std::string distinct = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789?)(/%#!=";
    for (char c : distinct) {
        counts.push_back(by_char[c]);
        expected.push_back(n * ((c == '?' || c == ')') ? 2.0 : 1.0) / 72);
    }
    EXPECT_EQ(by_char.size(), distinct.size());
    expect_uniform(chi_square(counts, expected), distinct.size());

    // Small ranges too, where a remainder would show most: 3 and 1000.
    for (std::uint32_t range : {3u, 1000u}) {
        std::vector<long> c(range);
        for (long i = 0; i < 300000; ++i) ++c[random_index(range)];
        expect_uniform(chi_square(c, std::vector<double>(range, 300000.0 / range)), range);
    }
}

TEST(SeededDraws, RepeatForTheSameSeed) {
    auto phrase = [](const char *s) {
        seeded seed(s);
        return std::string(draw_passphrase(8, {}).view());
    };
    // A new seed starts the stream again.
    std::string first = phrase("42"), other = phrase("43");
    EXPECT_EQ(phrase("42"), first);
    EXPECT_NE(other, first);
}

TEST(Passphrase, JoinsWordsOfTheListAndCapitalizes) {
    std::set<std::string> list(eff_long_words, eff_long_words + eff_long_count);
    for (std::size_t count : {1u, 6u, 40u}) {
        auto words = split(std::string(draw_passphrase(count, {".", false}).view()), '.');
        ASSERT_EQ(words.size(), count);
        for (const auto &w : words) EXPECT_TRUE(list.count(w)) << w;
    }
    auto capital = split(std::string(draw_passphrase(30, {" + ", true}).view()), '+');
    ASSERT_EQ(capital.size(), 30u);
    for (auto w : capital) {
        w = w.substr(w.front() == ' ' ? 1 : 0);
        if (w.back() == ' ') w.pop_back();
        EXPECT_TRUE(w[0] >= 'A' && w[0] <= 'Z') << w;
        w[0] = static_cast<char>(w[0] - 'A' + 'a');
        EXPECT_TRUE(list.count(w)) << w;
    }
    EXPECT_EQ(draw_passphrase(5, {"", false}).view().find_first_not_of("abcdefghijklmnopqrstuvwxyz-"), std::string::npos);
}

class GenProgram : public ::testing::Test {
protected:
    harness::result gen(const std::vector<std::string> &args) const {
        return box.run_program(harness::built_program("kesp-gen"), args);
    }
    harness::sandbox box;
};

TEST_F(GenProgram, PrintsPasswordsAndPassphrasesOfTheLengthAsked) {
    std::set<std::string> list(eff_long_words, eff_long_words + eff_long_count);
    struct asked {
        std::vector<std::string> args;
        std::size_t length;  // characters, or words with a separator "."
    };
    const asked table[] = {{{}, 20}, {{"--length", "1"}, 1}, {{"--length", "4096"}, 4096}, {{"--length=33"}, 33}};
    for (const auto &a : table) {
        auto r = gen(a.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");  // no terminal: no strength line
        ASSERT_EQ(r.out.size(), a.length + 1);
        EXPECT_EQ(r.out.back(), '\n');
        EXPECT_EQ(r.out.substr(0, a.length).find_first_not_of(harness::password_alphabet), std::string::npos);
    }
    for (std::size_t n : {1u, 6u, 512u}) {
        auto r = gen({"--words", std::to_string(n), "--separator", "."});
        EXPECT_EQ(r.status, 0);
        ASSERT_EQ(r.out.back(), '\n');
        auto words = split(r.out.substr(0, r.out.size() - 1), '.');
        ASSERT_EQ(words.size(), n);
        for (const auto &w : words) EXPECT_TRUE(list.count(w)) << w;
    }
    auto capital = gen({"--words", "6", "--capitalize", "--separator", "_"});
    for (const auto &w : split(capital.out, '_')) EXPECT_TRUE(w[0] >= 'A' && w[0] <= 'Z') << capital.out;
    // Two runs never agree; the test seed makes them agree.
    EXPECT_NE(gen({"--words", "6"}).out, gen({"--words", "6"}).out);
    box.env["KESP_TEST_SEED"] = "5";
    EXPECT_EQ(gen({"--words", "6"}).out, gen({"--words", "6"}).out);
    EXPECT_EQ(gen({}).out, gen({}).out);
}

TEST_F(GenProgram, BadUsageExitsWithTwoAndPrintsNothing) {
    const char *usage = "Usage: kesp-gen [--words N";
    const std::pair<std::vector<std::string>, std::string> table[] = {
        {{"--words", "0"}, "--words takes a number from 1 to 512, not 0.\n"},
        {{"--words", "513"}, "--words takes a number from 1 to 512, not 513.\n"},
        {{"--length", "0"}, "--length takes a number from 1 to 4096, not 0.\n"},
        {{"--length", "4097"}, "--length takes a number from 1 to 4096, not 4097.\n"},
        {{"--length", "-3"}, "--length takes a number from 1 to 4096, not -3.\n"},
        {{"--words", "3", "--length", "5"}, "--words and --length exclude each other.\n"},
        {{"--separator", "."}, "--separator and --capitalize go with --words.\n"},
        {{"--capitalize"}, "--separator and --capitalize go with --words.\n"},
        {{"--words", "3", "--separator", "\n"}, "--separator may not hold control characters.\n"},
        {{"--set", "x"}, "--set takes a number from 1 to 999999999, not x.\n"},
        {{"extra"}, usage},
        {{"--words"}, "requires an argument"},
    };
    for (const auto &[args, says] : table) {
        auto r = gen(args);
        EXPECT_EQ(r.status, 2) << says;
        EXPECT_EQ(r.out, "") << says;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }
}

TEST_F(GenProgram, StrengthOnATerminal) {
    for (const auto &[args, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--words", "6"}, "6 words, 77.5 bits\n"},
             {{"--words", "1"}, "1 word, 12.9 bits\n"},
             {{}, "20 characters, 122.3 bits\n"},
             {{"--length", "1"}, "1 character, 6.1 bits\n"}}) {
        // script(1) gives standard error a terminal, as a person has it.
        std::string command = harness::built_program("kesp-gen");
        for (const auto &a : args) command += " " + a;
        auto r = harness::run_shell("env -i PATH=/usr/bin:/bin script -qec '" + command + "' /dev/null");
        EXPECT_EQ(r.status, 0);
        std::string shown = line.substr(0, line.size() - 1) + "\r\n";
        EXPECT_EQ(r.output.substr(r.output.size() - std::min(r.output.size(), shown.size())), shown) << r.output;
    }
}

const std::vector<harness::row> rows = {
    {"mail", "alice", "https://mail.example.org", "old-mail-password", "notes\nline", "2020-01-02 03:04:05"},
    {"shop", "bob", "", "shop-password", "", "2021-01-02 03:04:05"},
};

TEST_F(GenProgram, SetReplacesOnlyThePasswordAndSaysWhichEntry) {
    harness::make_database(box, box.path("db.sqlite"), rows);
    const std::string db = box.path("db.sqlite");
    auto r = gen({"--set", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Set the new password of entry 1 (mail).\n");
    std::string password = harness::sql(db, "select password from entries where id = 1");
    ASSERT_EQ(password.size(), 21u);
    EXPECT_EQ(password.substr(0, 20).find_first_not_of(harness::password_alphabet), std::string::npos);
    EXPECT_EQ(harness::sql(db, "select title, user, url, notes from entries where id = 1"),
              "mail|alice|https://mail.example.org|notes\nline\n");
    EXPECT_NE(harness::sql(db, "select timestamp from entries where id = 1"), "2020-01-02 03:04:05\n");
    EXPECT_EQ(harness::sql(db, "select * from entries where id = 2"), "2|shop|bob||shop-password||2021-01-02 03:04:05\n");

    auto shown = gen({"--set", "2", "--words", "4", "--show"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, harness::sql(db, "select password from entries where id = 2"));
    EXPECT_EQ(shown.err, "Set the new password of entry 2 (shop).\n");
    EXPECT_EQ(split(shown.out, '-').size(), 4u);

    // On a terminal (script(1)) the strength comes first, then the entry.
    auto terminal = harness::run_shell("env -i PATH=/usr/bin:/bin HOME='" + box.home() +
                                       "' script -qec '" + harness::built_program("kesp-gen") +
                                       " --set 1' /dev/null");
    EXPECT_EQ(terminal.status, 0);
    EXPECT_EQ(terminal.output, "20 characters, 122.3 bits\r\nSet the new password of entry 1 (mail).\r\n");

    auto missing = gen({"--set", "3"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Entry 3 not found.\n");

    harness::sandbox empty;
    auto none = empty.run_program(harness::built_program("kesp-gen"), {"--set", "1"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "No decrypted database found.\n");
}

// --clip through a fake Wayland helper that keeps what it was given.
TEST_F(GenProgram, ClipCopiesInsteadOfPrinting) {
    harness::make_database(box, box.path("db.sqlite"), rows);
    std::string bin = box.root() + "/bin";
    ::mkdir(bin.c_str(), 0700);
    // A clipboard in a file: kesp-clip reads back what it copied.
    harness::write_file(bin + "/wl-copy", "#!/bin/sh\ncat > \"$HOME/wl-copy.out\"\n");
    harness::write_file(bin + "/wl-paste", "#!/bin/sh\ncat \"$HOME/wl-copy.out\"\n");
    for (const char *helper : {"wl-copy", "wl-paste"}) ::chmod((bin + "/" + helper).c_str(), 0700);
    box.env = {{"PATH", bin + ":/usr/bin:/bin"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"KESP_CLIP_TIME", "0"}};
    auto r = gen({"--clip", "--words", "5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Copied the generated password; it will not be cleared.\n");
    EXPECT_EQ(split(harness::read_file(box.home() + "/wl-copy.out"), '-').size(), 5u);

    auto set = gen({"--set", "2", "--clip"});
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.out, "");
    EXPECT_EQ(set.err, "Copied the new password of entry 2 (shop); it will not be cleared.\n");
    EXPECT_EQ(harness::read_file(box.home() + "/wl-copy.out") + "\n",
              harness::sql(box.path("db.sqlite"), "select password from entries where id = 2"));

    // No clipboard: the entry has its new password all the same, and says so.
    box.env = {{"PATH", bin + ":/usr/bin:/bin"}};
    auto failed = gen({"--set", "1", "--clip"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("No clipboard to copy to"), std::string::npos) << failed.err;
    EXPECT_NE(failed.err.find("The new password is in entry 1 all the same.\n"), std::string::npos);
    EXPECT_NE(harness::sql(box.path("db.sqlite"), "select password from entries where id = 1"), "old-mail-password\n");
}

}  // namespace
