#include "clipboard/helper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

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

// Both ends of the helper's standard streams; standard output goes to
// /dev/null when nobody reads it.
struct helper_pipes {
    unique_fd null, in_read, in_write, out_read, out_write, err_read, err_write;

    bool open(bool with_output) {
        null.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
        return null.valid() && make_pipe(in_read, in_write) && make_pipe(err_read, err_write) &&
               (!with_output || make_pipe(out_read, out_write));
    }
    // After the fork: only our ends stay open here, and they do not block.
    void keep_our_ends(bool has_input) {
        in_read.reset();
        out_write.reset();
        err_write.reset();
        set_nonblocking(in_write.get());
        set_nonblocking(err_read.get());
        if (!has_input) in_write.reset();
    }
};

[[noreturn]] void exec_helper(const std::vector<std::string> &argv, const helper_pipes &pipes) {
    ::dup2(pipes.in_read.get(), 0);
    ::dup2(pipes.out_write.valid() ? pipes.out_write.get() : pipes.null.get(), 1);
    ::dup2(pipes.err_write.get(), 2);
    close_other_descriptors();
    // A session of its own: the end of the terminal session kesp-clip runs
    // in hangs up its whole process group, and a helper that stays to serve
    // the clipboard would take the copy with it.
    ::setsid();
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

// Writes as much of the input as the pipe takes; closes it when all is in
// or the helper will take no more.
void feed_input(std::string_view input, unique_fd &in, std::size_t &written) {
    ssize_t n = ::write(in.get(), input.data() + written, input.size() - written);
    if (n > 0) written += static_cast<std::size_t>(n);
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) in.reset();
}

// Reads what output is there into `into`; closes the pipe at its end or
// when the output grows past the limit (`too_much`).
void take_output(unique_fd &out, secret_string &into, bool &too_much) {
    char chunk[4096];
    ssize_t n = ::read(out.get(), chunk, sizeof chunk);
    if (n > 0 && into.size() + static_cast<std::size_t>(n) <= helper_output_limit)
        into.append({chunk, static_cast<std::size_t>(n)});
    else if (n > 0)
        too_much = true;
    wipe(chunk, sizeof chunk);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) || too_much) out.reset();
}

// Feeds the helper, takes in its output and waits for its foreground
// process to end. Its wait status, or nothing when the time ran out.
std::optional<int> exchange(const helper_run &run, helper_pipes &pipes, child_guard &child,
                            bool &too_much) {
    auto deadline = clock::now() + run.timeout;
    std::size_t written = 0;
    int status = 0;
    bool exited = false;
    while (!exited || pipes.out_read.valid()) {
        if (clock::now() > deadline) return std::nullopt;
        pollfd fds[2] = {{pipes.in_write.get(), POLLOUT, 0}, {pipes.out_read.get(), POLLIN, 0}};
        // Short ticks: the end of a helper that forks shows on no descriptor.
        ::poll(fds, 2, 10);
        if (pipes.in_write.valid() && fds[0].revents != 0) feed_input(run.input, pipes.in_write, written);
        if (pipes.out_read.valid() && fds[1].revents != 0) take_output(pipes.out_read, *run.output, too_much);
        if (!exited && ::waitpid(child.pid, &status, WNOHANG) == child.pid) {
            exited = true;
            child.pid = -1;
        }
    }
    return status;
}

std::string base_name(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

// Says why the helper failed, in its own words where it left any; a
// background copy of it may keep the pipe open, so takes only what is there.
void report_failure(const std::string &name, int status, int err) {
    std::string said;
    char chunk[1024];
    for (ssize_t n; said.size() < 4096 && (n = ::read(err, chunk, sizeof chunk)) > 0;)
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
}

}  // namespace

void close_other_descriptors(std::initializer_list<int> keep) {
    long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < limit; ++fd)
        if (std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
}

bool run_helper(const helper_run &run) {
    const std::string name = base_name(run.argv.at(0));
    helper_pipes pipes;
    if (!pipes.open(run.output != nullptr)) {
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
    if (child.pid == 0) exec_helper(run.argv, pipes);
    pipes.keep_our_ends(!run.input.empty());

    bool too_much = false;
    auto status = exchange(run, pipes, child, too_much);
    if (!status) {
        if (!run.quiet)
            std::fprintf(stderr, "%s did not finish within %lld s.\n", name.c_str(),
                         static_cast<long long>(
                             std::chrono::duration_cast<std::chrono::seconds>(run.timeout).count()));
        return false;
    }
    if (too_much) return false;
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return true;
    if (!run.quiet) report_failure(name, *status, pipes.err_read.get());
    return false;
}
