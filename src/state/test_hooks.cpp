#include "state/test_hooks.h"

#ifdef KESP_TEST_HOOKS
#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

void test_stop_point(const char *point) {
    const char *wanted = std::getenv("KESP_TEST_STOP_AT");
    if (wanted != nullptr && std::strcmp(wanted, point) == 0) ::raise(SIGSTOP);
}

bool test_fail_point(const char *point) {
    const char *wanted = std::getenv("KESP_TEST_FAIL_AT");
    return wanted != nullptr && std::strcmp(wanted, point) == 0;
}

bool test_named_temp_only() {
    return std::getenv("KESP_TEST_NAMED_TEMP") != nullptr;
}

std::optional<long> test_request_seconds() {
    const char *seconds = std::getenv("KESP_TEST_REQUEST_SECONDS");
    if (seconds == nullptr) return std::nullopt;
    return std::strtol(seconds, nullptr, 10);
}

bool test_random_bytes(unsigned char *out, std::size_t size) {
    static std::string seed;
    static std::uint64_t state = 0;
    const char *wanted = std::getenv("KESP_TEST_SEED");
    if (wanted == nullptr) {
        seed.clear();
        return false;
    }
    if (seed != wanted) {
        seed = wanted;
        state = std::strtoull(wanted, nullptr, 10);
    }
    // splitmix64: every seed gives a stream of well-mixed 64-bit words.
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        z ^= z >> 31;
        for (std::size_t k = 0; k < 8 && i + k < size; ++k)
            out[i + k] = static_cast<unsigned char>(z >> (8 * k));
    }
    return true;
}

namespace {
std::mutex tally_lock;
std::map<std::string, std::uint64_t> &tallies() {
    static std::map<std::string, std::uint64_t> kept;
    return kept;
}
}  // namespace

void test_count_work(const char *what, std::uint64_t units) {
    std::lock_guard<std::mutex> hold(tally_lock);
    tallies()[what] += units;
}

std::uint64_t test_work_count(const char *what) {
    std::lock_guard<std::mutex> hold(tally_lock);
    auto found = tallies().find(what);
    return found != tallies().end() ? found->second : 0;
}
#else
void test_stop_point(const char *) {}

std::optional<long> test_request_seconds() {
    return std::nullopt;
}

bool test_fail_point(const char *) {
    return false;
}

void test_count_work(const char *, std::uint64_t) {}

std::uint64_t test_work_count(const char *) {
    return 0;
}

bool test_named_temp_only() {
    return false;
}

bool test_random_bytes(unsigned char *, std::size_t) {
    return false;
}
#endif
