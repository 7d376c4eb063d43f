// Console input: secrets on a real pseudo-terminal, visible fields, newline
// clean-up, and the terminal given back after a signal.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "harness/harness.h"
#include "state/console.h"

namespace {

// A pseudo-terminal opened in this process: `stream` reads from its slave
// side, `type` writes to its master side as a keyboard would.
struct terminal {
    int master = -1, slave = -1;
    FILE *stream = nullptr;
    terminal() {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) std::abort();
        stream = fdopen(slave, "r");
        setvbuf(stream, nullptr, _IONBF, 0);
    }
    ~terminal() {
        std::fclose(stream);
        ::close(master);
    }
    void type(const std::string &s) const { ASSERT_EQ(::write(master, s.data(), s.size()), (ssize_t)s.size()); }
    bool echoes() const {
        termios t;
        tcgetattr(slave, &t);
        return (t.c_lflag & ECHO) != 0;
    }
};

// Reads a secret typed as `keys`. Keys typed before echo is off would be
// flushed, so a child process types them once the reader has switched.
secret_status read_typed(const terminal &t, const std::string &keys, char *line, std::size_t cap) {
    pid_t typist = fork();
    if (typist == 0) {
        // Wait until the reader has switched echo off, then type.
        for (int i = 0; i < 500 && t.echoes(); ++i) usleep(2000);
        t.type(keys);
        _exit(0);
    }
    testing::internal::CaptureStdout();
    secret_status status = read_secret("Secret: ", line, cap, t.stream);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Secret: \n");
    int ignored;
    waitpid(typist, &ignored, 0);
    return status;
}

TEST(ReadSecret, KeepsEverythingButTheFinalNewline) {
    terminal t;
    char line[input_buffer_size] = {};
    EXPECT_EQ(read_typed(t, "abc\n", line, sizeof line), secret_status::ok);
    EXPECT_STREQ(line, "abc");
    EXPECT_TRUE(t.echoes()) << "echo must be back on after reading";

    EXPECT_EQ(read_typed(t, "  \t x \n", line, sizeof line), secret_status::ok);
    EXPECT_STREQ(line, "  \t x ");

    line[0] = '\0';
    EXPECT_EQ(read_typed(t, "\n", line, sizeof line), secret_status::ok);
    EXPECT_STREQ(line, "");
}

// Ctrl-D on an empty line is no answer (not the empty text); after some
// characters it hands them over, and a second one ends the line.
TEST(ReadSecret, EndOfInputIsNoAnswer) {
    terminal t;
    char line[input_buffer_size] = {};
    EXPECT_EQ(read_typed(t, "\x04", line, sizeof line), secret_status::end_of_input);
    EXPECT_STREQ(line, "");
    EXPECT_TRUE(t.echoes());
    EXPECT_EQ(read_typed(t, "abc\x04\x04", line, sizeof line), secret_status::ok);
    EXPECT_STREQ(line, "abc");
    EXPECT_EQ(read_typed(t, "next\n", line, sizeof line), secret_status::ok) << "not sticky";
    EXPECT_STREQ(line, "next");
}

TEST(ReadSecret, LongestAcceptedAndTooLongLines) {
    terminal t;
    char line[input_buffer_size] = {};
    std::string longest(1023, 'x');
    EXPECT_EQ(read_typed(t, longest + "\n", line, sizeof line), secret_status::ok);
    EXPECT_EQ(std::string(line), longest);

    // One byte more is refused, not cut, and the buffer holds nothing of it.
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_typed(t, std::string(1024, 'y') + "\n", line, sizeof line),
              secret_status::too_long);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Input too long: at most 1023 characters are accepted.\n");
    EXPECT_EQ(std::string(line, sizeof line), std::string(sizeof line, '\0'));

    // The rest of the refused line was consumed: the next secret is clean.
    EXPECT_EQ(read_typed(t, "next\n", line, sizeof line), secret_status::ok);
    EXPECT_STREQ(line, "next");
}

TEST(ReadSecret, NoTerminalReadsAndPrintsNothing) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "typed\n", 6), 6);
    FILE *stream = fdopen(fds[0], "r");
    char line[input_buffer_size] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_secret("Secret: ", line, sizeof line, stream), secret_status::no_terminal);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(line, "");
    char rest[16] = {};
    ASSERT_NE(fgets(rest, sizeof rest, stream), nullptr);
    EXPECT_STREQ(rest, "typed\n") << "nothing may be consumed without a terminal";
    std::fclose(stream);
    close(fds[1]);
}

TEST(StripNewlines, RemovesEveryNewlineWhereverItStands) {
    char text[32] = "\na\nb\n\nc\n";
    strip_newlines(text);
    EXPECT_STREQ(text, "abc");
    char empty[4] = "\n";
    strip_newlines(empty);
    EXPECT_STREQ(empty, "");
}

// kesp -E on a pseudo-terminal, its active database an empty file: it asks
// for the master password first.
struct encrypt_prompt {
    static bool make_active(const harness::sandbox &box) {
        harness::write_file(box.pointer_file(), box.path("db"));
        harness::write_file(box.path("db"), "");
        return true;
    }
    harness::sandbox box;
    bool active = make_active(box);
    harness::pty_session session{box, {"-E"}};
};

// End to end: a signal at the password prompt must not leave a mute terminal.
class SecretPromptSignal : public testing::TestWithParam<int> {};

TEST_P(SecretPromptSignal, TerminalEchoesAgainAfterTheSignal) {
    encrypt_prompt p;
    harness::pty_session &s = p.session;
    ASSERT_TRUE(s.expect("Password: "));
    EXPECT_FALSE(s.terminal_echoes());
    s.signal(GetParam());
    harness::result r = s.finish();
    EXPECT_EQ(r.status, 128 + GetParam()) << "the signal keeps its usual effect";
    EXPECT_TRUE(s.terminal_echoes());
}

INSTANTIATE_TEST_SUITE_P(FatalSignals, SecretPromptSignal,
                         testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT));

// Ctrl-Z at the prompt, then continuing: echo is off again and the prompt
// is shown again, so what is typed next stays unseen. (Here the process
// group has no shell to return to, so the kernel does not stop it; the
// handler must take up the prompt all the same.)
TEST(SecretPrompt, CtrlZThenContinueKeepsTheSecretUnseen) {
    encrypt_prompt p;
    harness::pty_session &s = p.session;
    ASSERT_TRUE(s.expect("Password: "));
    s.type("\x1a");
    ASSERT_TRUE(s.expect("\nPassword: "));
    EXPECT_FALSE(s.terminal_echoes());
    s.type_line("hunter2");
    ASSERT_TRUE(s.expect("Password again: "));
    s.type_line("hunter2");
    harness::result r = s.finish();
    EXPECT_EQ(r.out, "Password: \nPassword: \nPassword again: \n");
    EXPECT_EQ(r.err, "") << "the interrupted read goes on, it does not end the secret";
    EXPECT_EQ(r.terminal.find("hunter"), std::string::npos) << r.terminal;
    EXPECT_TRUE(s.terminal_echoes());
}

TEST(SecretPrompt, TypedSecretIsNotEchoedButVisibleFieldsAre) {
    encrypt_prompt p;
    harness::pty_session &s = p.session;
    ASSERT_TRUE(s.expect("Password: "));
    s.type_line("hunter2");
    ASSERT_TRUE(s.expect("Password again: "));
    s.type_line("hunter3");
    harness::result r = s.finish();
    EXPECT_EQ(r.out, "Password: \nPassword again: \n");
    EXPECT_EQ(r.err, "Password mismatch.\n");
    EXPECT_EQ(r.terminal.find("hunter"), std::string::npos) << r.terminal;
    EXPECT_TRUE(s.terminal_echoes());
}

}  // namespace
