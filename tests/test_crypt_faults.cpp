// Encryption and decryption under failing writes and sudden death: the path
// must always hold either the complete original or the complete result.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <utility>
#include <vector>
#include <unistd.h>

#include "container/container.h"
#include "container/crypt.h"
#include "container/crypt_internal.h"
#include "container_support.h"

using namespace container_test;

namespace {

struct child {
    pid_t pid;
    int err_fd;  // read end of the child's standard error
};

// What a write past the file size limit does to the child.
enum class past_limit { fails, kills };

// Starts `op` in a child process; the child exits with 0 when op returned
// true. Standard error goes through a pipe, which no file size limit cuts.
child spawn(const std::function<bool()> &op, rlim_t file_limit = RLIM_INFINITY,
            past_limit past = past_limit::fails) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid != 0) {
        ::close(fds[1]);
        return {pid, fds[0]};
    }
    ::dup2(fds[1], 2);
    harness::reset_signal_state();
    if (past == past_limit::fails) {
        // Past the limit write() fails with EFBIG instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
    } else {
        // SIGXFSZ ends the process at the write that crosses the limit.
        struct rlimit no_core = {0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
    }
    struct rlimit limit = {file_limit, file_limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(op() ? 0 : 1);
}

// Waits for the child; its exit status (-1 when it did not exit normally)
// and what it printed on standard error.
std::pair<int, std::string> reap(child c) {
    std::string err;
    char chunk[1024];
    ssize_t n;
    while ((n = ::read(c.err_fd, chunk, sizeof chunk)) > 0) err.append(chunk, n);
    ::close(c.err_fd);
    int status = 0;
    ::waitpid(c.pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

// True when `path` holds a complete container of `plain` under `password`.
bool is_complete_container_of(const std::string &path, const std::string &plain,
                              const char *password, const std::string &scratch) {
    std::string bytes = read_file(path);
    if (bytes.size() != plain.size() + 148) return false;
    write_file(scratch, bytes);
    testing::internal::CaptureStderr();
    bool ok = printed_ok(decrypt_file(password, scratch.c_str()));
    testing::internal::GetCapturedStderr();
    return ok && read_file(scratch) == plain;
}

}  // namespace

TEST(CryptFaults, WriteFailingPartWayLeavesTheOriginalAndNoTemporaryFile) {
    scratch_dir dir;
    std::string path = dir.file("db");
    std::string plain = pseudo_random_bytes(1 << 20, 21);
    write_file(path, plain);
    write_file(dir.file("container"), plain);
    ASSERT_TRUE(encrypt_file("pw", dir.file("container").c_str()));
    std::string container = read_file(dir.file("container"));

    // Limits from "nothing fits" to "all but the last byte fits".
    for (rlim_t limit : {rlim_t(0), rlim_t(1), rlim_t(4096), rlim_t(plain.size() / 2),
                         rlim_t(plain.size() + 147)}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        write_file(path, plain);
        auto [status, err] = reap(spawn([&] { return printed_ok(encrypt_file("pw", path.c_str())); }, limit));
        EXPECT_EQ(status, 1);
        EXPECT_NE(err.find("Unable to write " + path + ".kesp: File too large"), std::string::npos)
            << err;
        EXPECT_TRUE(read_file(path) == plain);
        EXPECT_FALSE(exists(path + ".kesp"));

        if (limit >= plain.size()) continue;
        write_file(path, container);
        std::tie(status, err) = reap(spawn([&] { return printed_ok(decrypt_file("pw", path.c_str())); }, limit));
        EXPECT_EQ(status, 1);
        EXPECT_NE(err.find("Unable to write " + path + ".plain: File too large"), std::string::npos)
            << err;
        EXPECT_TRUE(read_file(path) == container);
        EXPECT_FALSE(exists(path + ".plain"));
    }

    // Exactly enough room succeeds.
    write_file(path, plain);
    EXPECT_EQ(reap(spawn([&] { return printed_ok(encrypt_file("pw", path.c_str())); }, plain.size() + 148)).first,
              0);
    EXPECT_TRUE(is_encrypted_file(path.c_str()));
}

// Kills the operation at many points of its work: at each of the places
// where it stops for a test (before it writes, with the new file complete
// before it takes its name), and at byte after byte of its write, where a
// file size limit ends it. After each kill the path must hold the complete
// original or the complete result. A temporary file left by a kill stays,
// and the next run must cope with it.
class CryptCrash : public testing::Test {
protected:
    static constexpr int rounds = 20;

    void SetUp() override {
        path = dir.file("db");
        plain = pseudo_random_bytes(8u << 20, 33);
        write_file(dir.file("c"), plain);
        ASSERT_TRUE(encrypt_file("pw", dir.file("c").c_str()));
        container = read_file(dir.file("c"));
    }

    // The path holds the original or the complete result; counts which.
    void expect_all_or_nothing(const std::string &before, const std::function<bool()> &is_after,
                               const std::string &where) {
        if (read_file(path) == before) {
            ++saw_before;
        } else {
            EXPECT_TRUE(is_after()) << where;
            ++saw_after;
        }
    }

    // `before` is what the path holds before the operation; `is_after` tells
    // a complete result; `stops` are the operation's stop points, `written`
    // the size of the file it writes.
    void kill_at_many_points(const std::function<bool()> &op, const std::string &before,
                             const std::function<bool()> &is_after,
                             const std::vector<const char *> &stops, std::size_t written) {
        write_file(path, before);
        auto [status, err] = reap(spawn(op));
        ASSERT_EQ(status, 0) << err;
        ASSERT_TRUE(is_after());

        for (const char *stop : stops) {
            write_file(path, before);
            child c = spawn([&] {
                ::setenv("KESP_TEST_STOP_AT", stop, 1);
                return op();
            });
            int wait_status = 0;
            ASSERT_EQ(::waitpid(c.pid, &wait_status, WUNTRACED), c.pid) << stop;
            ASSERT_TRUE(WIFSTOPPED(wait_status)) << stop;
            ::kill(c.pid, SIGKILL);
            EXPECT_EQ(reap(c).first, -1) << stop;
            expect_all_or_nothing(before, is_after, std::string("killed at ") + stop);
        }
        for (int i = 0; i < rounds; ++i) {
            const rlim_t limit = written * i / rounds + (i % 2 == 0 ? 0 : 4095);
            write_file(path, before);
            EXPECT_EQ(reap(spawn(op, limit, past_limit::kills)).first, -1) << "limit " << limit;
            expect_all_or_nothing(before, is_after, "killed at byte " + std::to_string(limit));
        }
        RecordProperty("killed_before", saw_before);
        RecordProperty("killed_after", saw_after);
        EXPECT_GT(saw_after, 0);  // killed once its result had the name

        write_file(path, before);
        std::tie(status, err) = reap(spawn(op));
        ASSERT_EQ(status, 0) << err;
        ASSERT_TRUE(is_after());
    }

    scratch_dir dir;
    std::string path, plain, container;
    int saw_before = 0, saw_after = 0;
};

TEST_F(CryptCrash, EncryptionIsAllOrNothing) {
    kill_at_many_points([&] { return printed_ok(encrypt_file("pw", path.c_str())); }, plain,
                        [&] { return is_complete_container_of(path, plain, "pw", dir.file("check")); },
                        {"encrypt-first-chunk-read", "replacement-written", "replacement-named", "replaced"}, container.size());
    EXPECT_FALSE(exists(path + ".kesp"));
}

TEST_F(CryptCrash, DecryptionIsAllOrNothing) {
    kill_at_many_points([&] { return printed_ok(decrypt_file("pw", path.c_str())); }, container,
                        [&] { return read_file(path) == plain; },
                        {"container-detected", "trailer-read", "replacement-written", "replacement-named",
                         "replaced"}, plain.size());
    EXPECT_FALSE(exists(path + ".plain"));
}

// A signal while the decrypted bytes are being written: the container stays,
// and no plaintext is left beside it under any name. Unnamed new files even
// survive SIGKILL that way; the named fallback cleans up what can be caught.
void check_no_plaintext_outlives_a_signal() {
    struct { bool named; int signo; } cases[] = {
        {false, SIGINT}, {false, SIGTERM}, {false, SIGHUP}, {false, SIGQUIT}, {false, SIGKILL},
        {true, SIGINT},  {true, SIGTERM},  {true, SIGHUP},  {true, SIGQUIT},
    };
    for (auto [named, signo] : cases) {
        SCOPED_TRACE(std::string(named ? "named " : "unnamed ") + strsignal(signo));
        scratch_dir dir;
        std::string path = dir.file("db");
        write_file(path, pseudo_random_bytes(1 << 16, signo));
        ASSERT_TRUE(encrypt_file("pw", path.c_str()));
        std::string container = read_file(path);

        child c = spawn([&] {
            struct rlimit no_core = {0, 0};
            ::setrlimit(RLIMIT_CORE, &no_core);
            ::setenv("KESP_TEST_STOP_AT", "replacement-written", 1);
            if (named) ::setenv("KESP_TEST_NAMED_TEMP", "1", 1);
            return printed_ok(decrypt_file("pw", path.c_str()));
        });
        int status = 0;
        ASSERT_EQ(::waitpid(c.pid, &status, WUNTRACED), c.pid);
        ASSERT_TRUE(WIFSTOPPED(status));
        ::kill(c.pid, signo);
        ::kill(c.pid, SIGCONT);
        EXPECT_EQ(reap(c).first, -1);

        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"db"});
        EXPECT_EQ(read_file(path), container);
    }
}

TEST(CryptSignals, NoPlaintextOutlivesASignalDuringTheWrite) {
    check_no_plaintext_outlives_a_signal();
}

// The same when the suite itself was started with signals ignored (nohup,
// a background job of a shell without job control) or blocked: the
// children it starts must not inherit that, or the signal sent to them
// would never arrive.
TEST(CryptSignals, TheSuiteRunUnderNohupStillDeliversTheSignals) {
    struct sigaction ignore {}, old_int, old_hup;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGHUP, &ignore, &old_hup);
    sigset_t quit, old_mask;
    sigemptyset(&quit);
    sigaddset(&quit, SIGQUIT);
    sigaddset(&quit, SIGTERM);
    sigprocmask(SIG_BLOCK, &quit, &old_mask);
    check_no_plaintext_outlives_a_signal();
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
}

// A container rewritten in place between the read of its trailer and the
// read of the rest, its size and modification time put back as they were:
// the trailer read first is compared again with the bytes read after, and
// the change is named as such. Nothing is written; the file stays as the
// other writer left it.
TEST(CryptFaults, AContainerRewrittenInPlaceWhileReadIsNamed) {
    scratch_dir dir;
    const std::string path = dir.file("db"), other = dir.file("other");
    const std::string plain = pseudo_random_bytes(1 << 16, 5);
    for (const std::string &p : {path, other}) {
        write_file(p, plain);
        ASSERT_TRUE(encrypt_file("pw", p.c_str()));
    }
    const std::string rewritten = read_file(other);
    struct stat before;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    child c = spawn([&] {
        ::setenv("KESP_TEST_STOP_AT", "trailer-read", 1);
        return printed_ok(decrypt_file("pw", path.c_str()));
    });
    int status = 0;
    ASSERT_EQ(::waitpid(c.pid, &status, WUNTRACED), c.pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, rewritten.data(), rewritten.size(), 0),
              static_cast<ssize_t>(rewritten.size()));
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
    ::kill(c.pid, SIGCONT);

    auto [code, err] = reap(c);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err, path + " changed while it was read.\n");
    EXPECT_EQ(read_file(path), rewritten);
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"db", "other"}));
}

// Decryption authenticates everything before it writes a byte: with no
// room to write at all, a damaged container (in its first chunk, at a chunk
// boundary, in its last byte of ciphertext) still ends at the MAC check.
TEST(CryptFaults, DamagedContainerIsRefusedBeforeAnyWrite) {
    scratch_dir dir;
    std::string path = dir.file("db");
    const std::size_t size = 2 * crypt_chunk_size + 5;
    write_file(path, pseudo_random_bytes(size, 41));
    ASSERT_TRUE(encrypt_file("pw", path.c_str()));
    std::string container = read_file(path);
    for (std::size_t pos : {std::size_t(0), crypt_chunk_size, size - 1}) {
        SCOPED_TRACE("byte " + std::to_string(pos));
        std::string damaged = container;
        damaged[pos] = static_cast<char>(damaged[pos] ^ 0x20);
        write_file(path, damaged);
        auto [status, err] = reap(spawn([&] { return printed_ok(decrypt_file("pw", path.c_str())); }, 0));
        EXPECT_EQ(status, 1);
        EXPECT_EQ(err, "Invalid password or tampered data. Aborted.\n");
        EXPECT_TRUE(read_file(path) == damaged);
    }
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"db"});
}

// A plain file that another process changes while encryption reads it is
// refused, and the half-read state is never put in its place.
TEST(CryptFaults, PlainFileChangedDuringEncryptionIsRefused) {
    struct {
        const char *what;
        std::function<void(const std::string &)> change;
    } cases[] = {
        {"shortened", [](const std::string &p) { ASSERT_EQ(::truncate(p.c_str(), 1000), 0); }},
        {"lengthened", [](const std::string &p) {
             std::ofstream(p, std::ios::binary | std::ios::app) << "more";
         }},
        {"rewritten in place", [](const std::string &p) {
             std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
             f.seekp(static_cast<std::streamoff>(2 * crypt_chunk_size));
             f << "x";
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        std::string path = dir.file("db");
        write_file(path, pseudo_random_bytes(3 * crypt_chunk_size, 43));
        child op = spawn([&] {
            ::setenv("KESP_TEST_STOP_AT", "encrypt-first-chunk-read", 1);
            return printed_ok(encrypt_file("pw", path.c_str()));
        });
        int status = 0;
        ASSERT_EQ(::waitpid(op.pid, &status, WUNTRACED), op.pid);
        ASSERT_TRUE(WIFSTOPPED(status));
        c.change(path);
        std::string changed = read_file(path);
        ::kill(op.pid, SIGCONT);
        auto [exit_status, err] = reap(op);
        EXPECT_EQ(exit_status, 1);
        EXPECT_EQ(err, path + " changed while it was read.\n");
        EXPECT_TRUE(read_file(path) == changed);
        EXPECT_FALSE(is_encrypted_file(path.c_str()));
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"db"});
    }
}

// Encryption holds a chunk, not the file; decryption holds the container
// once (it must authenticate all of it before writing), not a second copy.
TEST(CryptMemory, PeakGrowthStaysWithinAChunkAndOneContainer) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory and redzones change the figures";
#endif
    scratch_dir dir;
    // OpenSSL sets itself up on first use (a few MiB): here, not in the
    // children measured.
    write_file(dir.file("small"), "x");
    ASSERT_TRUE(encrypt_file("pw", dir.file("small").c_str()));
    ASSERT_TRUE(decrypt_file("pw", dir.file("small").c_str()));
    std::string path = dir.file("db");
    const std::size_t size = 32u << 20;
    write_file(path, pseudo_random_bytes(size, 47));
    // The child measures its own peak above what it had when it started.
    auto peak_growth_mib = [&](std::function<bool()> op) {
        int fds[2];
        if (::pipe(fds) != 0) std::abort();
        pid_t pid = ::fork();
        if (pid == 0) {
            struct rusage before, after;
            ::getrusage(RUSAGE_SELF, &before);
            bool ok = op();
            ::getrusage(RUSAGE_SELF, &after);
            long growth_kib = ok ? after.ru_maxrss - before.ru_maxrss : -1;
            if (::write(fds[1], &growth_kib, sizeof growth_kib) != sizeof growth_kib) ::_exit(2);
            ::_exit(0);
        }
        ::close(fds[1]);
        long growth_kib = -1;
        if (::read(fds[0], &growth_kib, sizeof growth_kib) != sizeof growth_kib) growth_kib = -1;
        ::close(fds[0]);
        ::waitpid(pid, nullptr, 0);
        return growth_kib / 1024.0;
    };
    double encrypt_mib = peak_growth_mib([&] { return printed_ok(encrypt_file("pw", path.c_str())); });
    ASSERT_GE(encrypt_mib, 0);
    EXPECT_LT(encrypt_mib, 4) << "a 32 MiB file";
    double decrypt_mib = peak_growth_mib([&] { return printed_ok(decrypt_file("pw", path.c_str())); });
    ASSERT_GE(decrypt_mib, 0);
    EXPECT_LT(decrypt_mib, 32 * 1.1) << "a 32 MiB file";
    EXPECT_GT(decrypt_mib, 30) << "the whole container is read before any decryption";
}
