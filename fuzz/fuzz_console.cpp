// The console readers over arbitrary bytes. Visible fields: four read_field
// calls in a row (as -a asks for them) over the bytes as standard input, then
// strip_newlines, compared with what fgets semantics give. Secrets: the bytes
// typed on a pseudo-terminal into read_secret, which must return the line
// exactly, refuse one that does not fit, never overrun its buffer and always
// give the terminal its echo back.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "fuzz_check.h"
#include "state/console.h"

namespace {

// What fgets into a zero-filled buffer of 1024 bytes followed by
// strip_newlines leaves, reading from `input` at `at`.
std::string expected_field(const std::string &input, std::size_t &at) {
    std::size_t length = 0;
    while (at + length < input.size() && length < input_buffer_size - 1) {
        if (input[at + length++] == '\n') break;
    }
    std::string chunk = input.substr(at, length);
    at += length;
    chunk = chunk.substr(0, chunk.find('\0'));
    std::string stripped;
    for (char c : chunk)
        if (c != '\n') stripped += c;
    return stripped;
}

void fuzz_fields(const std::string &input) {
    if (input.empty()) return;  // fmemopen wants at least one byte
    FILE *stream = ::fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    FUZZ_CHECK(stream != nullptr);
    FILE *saved = stdin;
    stdin = stream;
    std::size_t at = 0;
    for (int field = 0; field < 4; ++field) {
        char buffer[input_buffer_size] = {};
        // Only an input with nothing left is no answer.
        FUZZ_CHECK(read_field("", buffer) == (at < input.size()));
        strip_newlines(buffer);
        FUZZ_CHECK(std::memchr(buffer, '\0', sizeof buffer) != nullptr);
        FUZZ_CHECK(std::string(buffer) == expected_field(input, at));
    }
    stdin = saved;
    std::fclose(stream);

    // strip_newlines alone, over the whole input cut to one buffer.
    char buffer[input_buffer_size] = {};
    std::memcpy(buffer, input.data(), std::min(input.size(), sizeof buffer - 1));
    std::string before(buffer);
    strip_newlines(buffer);
    std::string without;
    for (char c : before)
        if (c != '\n') without += c;
    FUZZ_CHECK(without == buffer);
}

struct terminal {
    int master = -1, slave = -1;
    FILE *stream = nullptr;
};

// One pseudo-terminal for the whole run, in raw mode so that every byte
// arrives as typed, with echo on for read_secret to switch off.
const terminal &the_terminal() {
    static terminal t = [] {
        terminal made;
        FUZZ_CHECK(::openpty(&made.master, &made.slave, nullptr, nullptr, nullptr) == 0);
        termios attributes;
        FUZZ_CHECK(::tcgetattr(made.slave, &attributes) == 0);
        ::cfmakeraw(&attributes);
        attributes.c_lflag |= ECHO;
        FUZZ_CHECK(::tcsetattr(made.slave, TCSANOW, &attributes) == 0);
        made.stream = ::fdopen(made.slave, "r");
        FUZZ_CHECK(made.stream != nullptr);
        // Unbuffered: nothing read past the line may linger for the next input.
        std::setvbuf(made.stream, nullptr, _IONBF, 0);
        // Prompts and the newline after a secret go to standard output.
        int null = ::open("/dev/null", O_WRONLY);
        FUZZ_CHECK(null >= 0 && ::dup2(null, 1) == 1);
        ::close(null);
        return made;
    }();
    return t;
}

bool echoes(int fd) {
    termios attributes;
    FUZZ_CHECK(::tcgetattr(fd, &attributes) == 0);
    return (attributes.c_lflag & ECHO) != 0;
}

void fuzz_secret(std::string line) {
    const terminal &t = the_terminal();
    // One line, at most what the terminal buffers without a reader.
    line = line.substr(0, line.find('\n')).substr(0, 3000);

    // Typed once echo is off: read_secret flushes what was typed before.
    std::thread typist([&t, &line] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (echoes(t.master)) {
            FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        std::string typed = line + "\n";
        FUZZ_CHECK(::write(t.master, typed.data(), typed.size()) ==
                   static_cast<ssize_t>(typed.size()));
    });
    char buffer[input_buffer_size] = {};
    secret_status status = read_secret("Password: ", buffer, sizeof buffer, t.stream);
    typist.join();

    FUZZ_CHECK(echoes(t.slave));
    if (line.size() <= input_buffer_size - 1) {
        FUZZ_CHECK(status == secret_status::ok);
        FUZZ_CHECK(std::memcmp(buffer, line.data(), line.size()) == 0);
        FUZZ_CHECK(buffer[line.size()] == '\0');
    } else {
        FUZZ_CHECK(status == secret_status::too_long);
        for (char c : buffer) FUZZ_CHECK(c == '\0');
    }
    ::tcflush(t.slave, TCIFLUSH);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] & 1)
        fuzz_secret(input);
    else
        fuzz_fields(input);
    return 0;
}
