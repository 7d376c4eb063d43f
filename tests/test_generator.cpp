// Password generator: lengths, alphabet, the draw-to-character mapping with
// its rejection band, what is printed, the distribution over many draws, and
// the behaviour with a scripted, unseeded or failing random source.
//
// A scripted source replaces OpenSSL's through the (deprecated but still
// honoured) RAND_METHOD hook, so the tests see exactly which draws the
// generator consumes.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <openssl/rand.h>

#include "harness/harness.h"
#include "memory/secret.h"
#include "output/generator.h"
#include "store/entry.h"

namespace {

const std::string &alphabet = harness::password_alphabet;

struct password_deleter {
    void operator()(char *p) const { free_secret_text(p); }
};
using password_ptr = std::unique_ptr<char, password_deleter>;

struct generated {
    password_ptr password;
    std::string out;
};

generated generate_captured(int length) {
    testing::internal::CaptureStdout();
    password_ptr password(generate_password(length));
    std::fflush(stdout);
    return {std::move(password), testing::internal::GetCapturedStdout()};
}

// Scripted random source: hands out the queued 32-bit draws in native byte
// order; past the end of the script every call fails with `failure`.
struct script {
    std::vector<std::uint32_t> draws;
    std::size_t next = 0;
    int status = 1;
    int failure = 0;
    int calls = 0;
};
script current_script;

int scripted_bytes(unsigned char *buf, int num) {
    ++current_script.calls;
    if (num != 4 || current_script.next >= current_script.draws.size())
        return current_script.failure;
    std::uint32_t value = current_script.draws[current_script.next++];
    std::memcpy(buf, &value, sizeof value);
    return 1;
}
int scripted_status() { return current_script.status; }
int scripted_add(const void *, int, double) { return 1; }
int scripted_seed(const void *, int) { return 1; }

const RAND_METHOD scripted_method = {scripted_seed, scripted_bytes, nullptr,
                                     scripted_add,  scripted_bytes, scripted_status};

// Installs the scripted source for one test and gives OpenSSL's back.
class ScriptedRandom : public testing::Test {
protected:
    void SetUp() override {
        current_script = script{};
        ASSERT_EQ(RAND_set_rand_method(&scripted_method), 1);
    }
    void TearDown() override { RAND_set_rand_method(RAND_OpenSSL()); }
};

}  // namespace

TEST(Generator, AlphabetIsTheFixedSeventyTwoCharacters) {
    EXPECT_EQ(std::string(password_charset), alphabet);
    EXPECT_EQ(std::strlen(password_charset), 72u);
}

TEST(Generator, LengthBelowOneGivesNullAndNoOutput) {
    for (int length : {0, -5, INT_MIN}) {
        generated g = generate_captured(length);
        EXPECT_EQ(g.password, nullptr) << length;
        EXPECT_EQ(g.out, "") << length;
    }
}

TEST(Generator, PasswordHasTheLengthUsesTheAlphabetAndIsPrinted) {
    for (int length : {1, 20, 1000}) {
        generated g = generate_captured(length);
        ASSERT_NE(g.password, nullptr);
        std::string password(g.password.get());
        EXPECT_EQ(password.size(), static_cast<std::size_t>(length));
        EXPECT_EQ(password.find_first_not_of(alphabet), std::string::npos) << password;
        EXPECT_EQ(g.out, password + "\n");
    }
}

TEST(Generator, DrawMappingBoundaries) {
    EXPECT_EQ(password_char_for_draw(0), 'a');
    EXPECT_EQ(password_char_for_draw(29826160), 'a');
    EXPECT_EQ(password_char_for_draw(29826161), 'b');
    EXPECT_EQ(password_char_for_draw(2147483591), '=');
    for (std::uint32_t discarded : {2147483592u, 2147483647u, 2147483648u, 4294967295u})
        EXPECT_EQ(password_char_for_draw(discarded), '\0') << discarded;

    // Every band of 29826161 draws maps to its own index, edge to edge.
    const std::uint32_t band = 29826161;
    for (std::uint32_t k = 0; k < 72; ++k) {
        EXPECT_EQ(password_char_for_draw(k * band), alphabet[k]) << k;
        EXPECT_EQ(password_char_for_draw(k * band + band - 1), alphabet[k]) << k;
    }
}

// With n draws of probability p, the count is within 6 standard deviations
// of n*p unless the generator is biased; a correct one essentially never
// fails this.
TEST(Generator, DistributionOverAMillionCharacters) {
    const int n = 1000000;
    generated g = generate_captured(n);
    ASSERT_NE(g.password, nullptr);

    std::map<char, long> counts;
    for (const char *p = g.password.get(); *p != '\0'; ++p) ++counts[*p];
    EXPECT_EQ(counts.size(), 70u) << "every distinct character appears, nothing else";

    for (char c : alphabet) {
        double p = (c == '?' || c == ')') ? 2.0 / 72 : 1.0 / 72;
        double expected = n * p;
        double sigma = std::sqrt(n * p * (1 - p));
        EXPECT_NEAR(static_cast<double>(counts[c]), expected, 6 * sigma) << "character " << c;
    }
}

TEST_F(ScriptedRandom, DiscardedDrawsAreRedrawnForTheSamePosition) {
    current_script.draws = {4294967295u, 2147483592u, 2147483648u, 2147483647u, 0u,
                            2147483591u, 29826161u};
    generated g = generate_captured(3);
    ASSERT_NE(g.password, nullptr);
    EXPECT_STREQ(g.password.get(), "a=b");
    EXPECT_EQ(g.out, "a=b\n");
    EXPECT_EQ(current_script.next, current_script.draws.size());
}

TEST_F(ScriptedRandom, UnseededGeneratorWarnsOnStandardOutputFirst) {
    current_script.status = 0;
    current_script.draws = {2147483591u, 0u};
    generated g = generate_captured(2);
    ASSERT_NE(g.password, nullptr);
    EXPECT_EQ(g.out, "Warning, random number generator not seeded.\n=a\n");
}

TEST_F(ScriptedRandom, NonPositiveLengthNeitherWarnsNorDraws) {
    current_script.status = 0;
    generated g = generate_captured(0);
    EXPECT_EQ(g.password, nullptr);
    EXPECT_EQ(g.out, "");
    EXPECT_EQ(current_script.calls, 0);
}

using ScriptedRandomDeathTest = ScriptedRandom;

// Both failure results of RAND_bytes end the process before anything of the
// password is printed.
TEST_F(ScriptedRandomDeathTest, FailingRandomSourceAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int failure : {0, -1}) {
        current_script.failure = failure;
        current_script.draws = {0u};
        EXPECT_EXIT(
            {
                generate_password(5);
                std::exit(0);
            },
            testing::KilledBySignal(SIGABRT), "")
            << "RAND_bytes result " << failure;
    }
}

// random_index (kesp-gen's words): a draw at or above the last whole
// multiple of the range would favour the low indices, and is drawn again.
TEST_F(ScriptedRandom, IndexDrawsAboveTheLastWholeMultipleAreRedrawn) {
    const std::uint32_t limit = 4294964736u;  // 7776 * 552336
    current_script.draws = {4294967295u, limit, limit - 1, 7777u, 0u};
    EXPECT_EQ(random_index(7776), 7775u);
    EXPECT_EQ(random_index(7776), 1u);
    EXPECT_EQ(random_index(7776), 0u);
    EXPECT_EQ(current_script.next, current_script.draws.size());

    current_script = script{};
    current_script.draws = {2147483592u, 29826161u * 3};
    char drawn[2] = {};
    draw_password(drawn, 1);
    EXPECT_EQ(drawn[0], 'd');
    EXPECT_EQ(drawn[1], '\0') << "nothing written past the length";
}
