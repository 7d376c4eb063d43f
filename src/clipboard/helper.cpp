#include "clipboard/helper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "state/files.h"

namespace {

using clock = std::chrono::steady_clock;

// Kills and reaps the child unless it was reaped already.
struct child_guard {
    pid_t pid = -1;
    ~child_guard() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// A helper that ends early must not kill us with SIGPIPE.
struct sigpipe_ignored {
    struct sigaction old {};
    sigpipe_ignored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &old);
    }
    ~sigpipe_ignored() { ::sigaction(SIGPIPE, &old, nullptr); }
};

bool make_pipe(unique_fd &read_end, unique_fd &write_end) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

[[noreturn]] void exec_helper(const std::vector<std::string> &argv, int in, int out, int err) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    close_other_descriptors();
    // A clearer blocks its signals and ignores SIGPIPE; the helper must not
    // inherit either.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
}

std::string base_name(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

void close_other_descriptors(std::initializer_list<int> keep) {
    long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < limit; ++fd)
        if (std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
}

bool run_helper(const helper_run &run) {
    const std::string name = base_name(run.argv.at(0));
    unique_fd in_read, in_write, out_read, out_write, err_read, err_write;
    unique_fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!null.valid() || !make_pipe(in_read, in_write) || !make_pipe(err_read, err_write) ||
        (run.output != nullptr && !make_pipe(out_read, out_write))) {
        if (!run.quiet) print_errno("Cannot run " + name);
        return false;
    }
    sigpipe_ignored sigpipe;
    child_guard child;
    child.pid = ::fork();
    if (child.pid < 0) {
        child.pid = -1;
        if (!run.quiet) print_errno("Cannot run " + name);
        return false;
    }
    if (child.pid == 0)
        exec_helper(run.argv, in_read.get(), out_write.valid() ? out_write.get() : null.get(),
                    err_write.get());
    in_read.reset();
    out_write.reset();
    err_write.reset();
    set_nonblocking(in_write.get());
    set_nonblocking(err_read.get());
    std::size_t written = 0;
    if (run.input.empty()) in_write.reset();

    auto deadline = clock::now() + run.timeout;
    int status = 0;
    bool exited = false, too_much = false;
    while (!exited || out_read.valid()) {
        if (clock::now() > deadline) {
            if (!run.quiet)
                std::fprintf(stderr, "%s did not finish within %lld s.\n", name.c_str(),
                             static_cast<long long>(
                                 std::chrono::duration_cast<std::chrono::seconds>(run.timeout).count()));
            return false;
        }
        pollfd fds[2] = {{in_write.get(), POLLOUT, 0}, {out_read.get(), POLLIN, 0}};
        // Short ticks: the end of a helper that forks shows on no descriptor.
        ::poll(fds, 2, 10);
        if (in_write.valid() && fds[0].revents != 0) {
            ssize_t n = ::write(in_write.get(), run.input.data() + written, run.input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == run.input.size())
                in_write.reset();
        }
        if (out_read.valid() && fds[1].revents != 0) {
            char chunk[4096];
            ssize_t n = ::read(out_read.get(), chunk, sizeof chunk);
            if (n > 0 && run.output->size() + static_cast<std::size_t>(n) <= helper_output_limit)
                run.output->append({chunk, static_cast<std::size_t>(n)});
            else if (n > 0)
                too_much = true;
            wipe(chunk, sizeof chunk);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) || too_much) out_read.reset();
        }
        if (!exited && ::waitpid(child.pid, &status, WNOHANG) == child.pid) {
            exited = true;
            child.pid = -1;
        }
    }
    if (too_much) return false;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (run.quiet) return false;

    // What the helper said before it ended; a background copy of it may keep
    // the pipe open, so take only what is there.
    std::string said;
    char chunk[1024];
    for (ssize_t n; said.size() < 4096 && (n = ::read(err_read.get(), chunk, sizeof chunk)) > 0;)
        said.append(chunk, static_cast<std::size_t>(n));
    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
    if (!said.empty())
        std::fprintf(stderr, "%s failed: %s\n", name.c_str(), said.c_str());
    else if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        std::fprintf(stderr, "%s could not be started.\n", name.c_str());
    else if (WIFEXITED(status))
        std::fprintf(stderr, "%s failed with exit status %d.\n", name.c_str(), WEXITSTATUS(status));
    else
        std::fprintf(stderr, "%s was killed by signal %d.\n", name.c_str(), WTERMSIG(status));
    return false;
}
