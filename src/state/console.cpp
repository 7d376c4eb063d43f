#include "state/console.h"

#include <cerrno>
#include <csignal>
#include <iterator>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal settings to give back if a signal ends or stops the process
// while echo is off, the quiet ones to take up again after a stop, and the
// prompt to show again then. Written only while no handler can run.
volatile sig_atomic_t restore_fd = -1;
termios saved_attributes, quiet_attributes;
const char *volatile current_prompt = nullptr;
volatile sig_atomic_t prompt_fd = STDOUT_FILENO;

constexpr int handled_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

extern "C" void restore_and_reraise(int signo) {
    if (restore_fd >= 0) ::tcsetattr(restore_fd, TCSAFLUSH, &saved_attributes);
    std::signal(signo, SIG_DFL);
    ::raise(signo);
}

// Ctrl-Z: the shell the person returns to gets its echo back, and on `fg`
// (or when the kernel declines to stop an orphaned process) echo goes off
// again and the prompt is shown again, so nothing typed next is echoed.
extern "C" void stop_with_echo(int signo) {
    int saved_errno = errno;
    if (restore_fd >= 0) ::tcsetattr(restore_fd, TCSAFLUSH, &saved_attributes);
    std::signal(signo, SIG_DFL);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signo);
    ::raise(signo);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);  // the stop happens here
    sigprocmask(SIG_BLOCK, &just_this, nullptr);
    struct sigaction again {};
    again.sa_handler = stop_with_echo;
    again.sa_flags = SA_RESTART;
    sigemptyset(&again.sa_mask);
    sigaction(signo, &again, nullptr);
    if (restore_fd >= 0) {
        ::tcsetattr(restore_fd, TCSAFLUSH, &quiet_attributes);
        const char *prompt = current_prompt;
        if (prompt != nullptr) {
            (void)!::write(prompt_fd, "\n", 1);
            (void)!::write(prompt_fd, prompt, std::strlen(prompt));
        }
    }
    errno = saved_errno;
}

// Turns echo off for its lifetime and restores the saved settings however
// the scope is left, including by one of the fatal signals above.
class echo_off_guard {
public:
    echo_off_guard(int fd, const termios &saved, const char *prompt, int shown_on) : fd_(fd) {
        saved_attributes = saved;
        quiet_attributes = saved;
        quiet_attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        current_prompt = prompt;
        prompt_fd = shown_on;
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old_mask_);
        restore_fd = fd;
        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(handled_signals); ++i) {
            bool stop = handled_signals[i] == SIGTSTP;
            action.sa_handler = stop ? stop_with_echo : restore_and_reraise;
            // The interrupted read goes on after a stop rather than ending
            // the secret early.
            action.sa_flags = stop ? SA_RESTART : 0;
            sigaction(handled_signals[i], &action, &old_actions_[i]);
        }
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
    }

    bool disable_echo() {
        active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet_attributes) == 0;
        return active_;
    }

    ~echo_off_guard() {
        if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_attributes);
        sigset_t all;
        sigfillset(&all);
        sigset_t old;
        sigprocmask(SIG_BLOCK, &all, &old);
        for (std::size_t i = 0; i < std::size(handled_signals); ++i)
            sigaction(handled_signals[i], &old_actions_[i], nullptr);
        restore_fd = -1;
        current_prompt = nullptr;
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }

    echo_off_guard(const echo_off_guard &) = delete;
    echo_off_guard &operator=(const echo_off_guard &) = delete;

private:
    int fd_;
    bool active_ = false;
    sigset_t old_mask_;
    struct sigaction old_actions_[std::size(handled_signals)];
};

// read_secret, with the prompt and the newline after the line on `shown`.
secret_status read_hidden(const char *prompt, char *line, std::size_t capacity, std::FILE *stream,
                          std::FILE *shown) {
    int fd = ::fileno(stream);
    termios saved;
    if (::tcgetattr(fd, &saved) != 0) return secret_status::no_terminal;

    echo_off_guard guard(fd, saved, prompt, ::fileno(shown));
    if (!guard.disable_echo()) return secret_status::no_terminal;

    if (prompt != nullptr) {
        std::fputs(prompt, shown);
        std::fflush(shown);
    }

    // Read byte by byte into the caller's buffer: no other copy of the
    // secret is made, and a line that does not fit is drained, not split.
    std::size_t length = 0;
    bool overflow = false, ended = true;
    for (int c; (c = std::getc(stream)) != EOF;) {
        ended = false;
        if (c == '\n') break;
        if (length + 1 < capacity)
            line[length++] = static_cast<char>(c);
        else
            overflow = true;
    }
    if (capacity > 0) line[overflow ? 0 : length] = '\0';
    std::clearerr(stream);
    std::fputs("\n", shown);
    std::fflush(shown);

    if (overflow) {
        wipe(line, capacity);
        std::fprintf(stderr, "Input too long: at most %zu characters are accepted.\n",
                     capacity > 0 ? capacity - 1 : 0);
        return secret_status::too_long;
    }
    return ended ? secret_status::end_of_input : secret_status::ok;
}

}  // namespace

secret_status read_secret(const char *prompt, char *line, std::size_t capacity,
                          std::FILE *stream) {
    return read_hidden(prompt, line, capacity, stream, stdout);
}

secret_status read_secret_shown_on(const char *prompt, char *line, std::size_t capacity,
                                   std::FILE *stream, std::FILE *shown) {
    return read_hidden(prompt, line, capacity, stream, shown);
}

bool read_field(const char *prompt, char *buffer) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    bool answered = std::fgets(buffer, static_cast<int>(input_buffer_size), stdin) != nullptr;
    if (!answered) {
        buffer[0] = '\0';
        std::fputs("\n", stdout);  // the prompt's line ends, as after Enter
    }
    std::clearerr(stdin);
    return answered;
}

void strip_newlines(char *buffer) {
    char *out = buffer;
    for (const char *in = buffer; *in != '\0'; ++in)
        if (*in != '\n') *out++ = *in;
    *out = '\0';
}
