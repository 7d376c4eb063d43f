#include "sync/git.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "state/files.h"

extern char **environ;

namespace {

// A started child, waited for however the scope is left.
class child_process {
public:
    explicit child_process(pid_t pid) : pid_(pid) {}
    ~child_process() {
        if (pid_ > 0) wait();
    }
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;

    int wait() {
        int status = 0;
        pid_t got;
        while ((got = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_;
};

struct spawn_actions {
    posix_spawn_file_actions_t actions;
    spawn_actions() { posix_spawn_file_actions_init(&actions); }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&actions); }
};

}  // namespace

git_result run_git(const std::string &folder, const std::vector<std::string> &args,
                   git_output output, const std::vector<std::string> &extra_env) {
    git_result result;
    std::vector<std::string> words{"git", "-C", folder};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int pipe_fds[2] = {-1, -1};
    if (output != git_output::shown && ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        print_errno("Cannot run git");
        return result;
    }
    unique_fd read_end(pipe_fds[0]), write_end(pipe_fds[1]);
    spawn_actions spawn;
    if (output != git_output::shown) posix_spawn_file_actions_adddup2(&spawn.actions, pipe_fds[1], 1);
    if (output == git_output::silent)
        posix_spawn_file_actions_addopen(&spawn.actions, 2, "/dev/null", O_WRONLY, 0);

    // What we printed so far comes before what git prints.
    std::fflush(stdout);
    std::fflush(stderr);
    // getenv takes the first of two equal names: ours come first.
    std::vector<std::string> added = extra_env;
    std::vector<char *> envp;
    for (std::string &e : added) envp.push_back(e.data());
    for (char **e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, "git", &spawn.actions, nullptr, argv.data(), envp.data());
    if (rc != 0) {
        static bool said = false;
        if (!said) std::fprintf(stderr, "Cannot run git: %s.\n", std::strerror(rc));
        said = true;
        return result;
    }
    child_process child(pid);
    write_end.reset();
    if (read_end.valid()) {
        char chunk[4096];
        for (;;) {
            ssize_t got = ::read(read_end.get(), chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            result.out.append(chunk, static_cast<std::size_t>(got));
        }
    }
    result.status = child.wait();
    return result;
}

std::string first_line(const std::string &text) {
    return text.substr(0, text.find('\n'));
}
