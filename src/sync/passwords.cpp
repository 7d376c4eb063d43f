#include "sync/passwords.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "state/console.h"

bool typed_passwords::ask(const char *prompt) {
    // Descriptors of their own, unbuffered: the typed line stays in the
    // wiped buffer only.
    unique_fd fd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        std::fprintf(stderr, "No terminal to ask for the master password: %s.\n",
                     std::strerror(errno));
        return false;
    }
    unique_fd second(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    file_ptr in(second.valid() ? ::fdopen(fd.get(), "r") : nullptr);
    if (in) fd.release();
    file_ptr out(in ? ::fdopen(second.get(), "w") : nullptr);
    if (out) second.release();
    if (!in || !out) {
        print_errno("/dev/tty");
        return false;
    }
    std::setvbuf(in.get(), nullptr, _IONBF, 0);
    std::setvbuf(out.get(), nullptr, _IONBF, 0);
    secret_buffer line;
    secret_status status =
        read_secret_shown_on(prompt, line.data, sizeof line.data, in.get(), out.get());
    if (status == secret_status::no_terminal) {
        std::fputs("No terminal to ask for the master password: /dev/tty is not one.\n", stderr);
        return false;
    }
    if (status != secret_status::ok) return false;
    typed_.push_back(std::make_unique<secret_string>(line.data));
    return true;
}

unique_fd typed_passwords::pipe_for_child() const {
    int fds[2];
    // The write end never reaches a child; the read end is meant to.
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        print_errno("Cannot make a pipe");
        return unique_fd();
    }
    unique_fd read_end(fds[0]), write_end(fds[1]);
    // A few short lines: the pipe's buffer holds them without a reader.
    for (const auto &password : typed_) {
        std::string_view bytes(password->c_str(), password->size() + 1);
        if (!write_all(write_end.get(), bytes)) {
            print_errno("Cannot write to a pipe");
            return unique_fd();
        }
    }
    if (::fcntl(read_end.get(), F_SETFD, 0) != 0) {
        print_errno("Cannot hand a pipe on");
        return unique_fd();
    }
    return read_end;
}
