#include "vault/ssh_keys.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "memory/secret.h"
#include "state/files.h"
#include "vault/agent_link.h"

extern char **environ;

namespace {

struct child_io {
    std::string_view input;       // on standard input
    std::string_view passphrase;  // on ssh_askpass_fd
    bool askpass = false;         // whether that descriptor is given
};

// Runs ssh-add with `args` and the environment of this process but for
// SSH_AUTH_SOCK (and the askpass variables in `extra`); its standard output
// and error are collected. Waits for it.
ssh_add_result run_ssh_tool(const char *tool, const std::vector<std::string> &args,
                            const std::string &socket, const child_io &io,
                            const std::vector<std::string> &extra = {}) {
    ssh_add_result result;
    int in[2], out[2], pass[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0) return result;
    unique_fd in_read(in[0]), in_write(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    unique_fd out_read(out[0]), out_write(out[1]);
    unique_fd pass_read, pass_write;
    // Always there, empty when there is no passphrase: the askpass program
    // must never read another descriptor of ssh-add's by that number.
    if (io.askpass) {
        if (::pipe2(pass, O_CLOEXEC) != 0) return result;
        pass_read.reset(pass[0]);
        pass_write.reset(pass[1]);
        // Small enough for the pipe's buffer: written before ssh-add starts.
        if (io.passphrase.size() > 4000 || !write_all(pass_write.get(), io.passphrase))
            return result;
        pass_write.reset();
    }

    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "SSH_AUTH_SOCK=", 14) != 0 &&
            std::strncmp(*e, "SSH_ASKPASS", 11) != 0 &&
            std::strncmp(*e, ssh_askpass_variable, std::strlen(ssh_askpass_variable)) != 0)
            env.push_back(*e);
    env.push_back("SSH_AUTH_SOCK=" + socket);
    for (const std::string &x : extra) env.push_back(x);
    std::vector<char *> argv{const_cast<char *>(tool)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        // High numbers first, so that no dup2 below closes another's source.
        int i = ::fcntl(in_read.get(), F_DUPFD, 10), o = ::fcntl(out_write.get(), F_DUPFD, 10);
        int p = pass_read.valid() ? ::fcntl(pass_read.get(), F_DUPFD, 10) : -1;
        if (i < 0 || o < 0 || ::dup2(i, STDIN_FILENO) < 0 || ::dup2(o, STDOUT_FILENO) < 0 ||
            ::dup2(o, STDERR_FILENO) < 0 || (p >= 0 && ::dup2(p, ssh_askpass_fd) < 0))
            ::_exit(127);
        for (int copy : {i, o, p})
            if (copy > ssh_askpass_fd) ::close(copy);
        // No terminal: ssh-add asks nobody but the askpass program.
        ::setsid();
        ::execvpe(tool, argv.data(), envp.data());
        ::_exit(127);
    }
    in_read.reset();
    out_write.reset();
    pass_read.reset();
    void (*old)(int) = std::signal(SIGPIPE, SIG_IGN);
    (void)write_all(in_write.get(), io.input);
    in_write.reset();
    char chunk[1024];
    for (;;) {
        ssize_t n = ::read(out_read.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.said.append(chunk, static_cast<std::size_t>(n));
    }
    std::signal(SIGPIPE, old);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && result.said.empty())
        result.said = std::string(tool) + " could not be run";
    return result;
}

// "ALGORITHM BLOB" of a line of ssh-add -L or of the record.
std::string key_of(std::string_view line) {
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::string(line);
    std::size_t end = line.find(' ', space + 1);
    return std::string(line.substr(0, end));
}

std::string record_path(const std::string &folder) {
    return folder + "/" + ssh_keys_record;
}

std::vector<std::string> lines_in(const std::string &text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

std::string read_record(const std::string &folder) {
    std::string text;
    unique_fd fd(::open(record_path(folder).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd.get(), chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

// The record replaced whole: a new file renamed over the old one.
bool write_record(const std::string &folder, const std::string &text) {
    const std::string path = record_path(folder), next = path + ".new";
    unique_fd fd(::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid() || !write_all(fd.get(), text)) {
        ::unlink(next.c_str());
        return false;
    }
    fd.reset();
    return ::rename(next.c_str(), path.c_str()) == 0;
}

}  // namespace

ssh_add_result ssh_add_key(const std::string &socket, std::string_view private_block,
                           std::string_view passphrase, long lifetime, bool confirm,
                           const std::string &askpass) {
    std::vector<std::string> args;
    if (confirm) args.push_back("-c");
    if (lifetime > 0) {
        args.push_back("-t");
        args.push_back(std::to_string(lifetime));
    }
    args.push_back("-");
    // ssh-add reads the key as a text: it ends in a line end.
    secret_string input(private_block);
    if (!input.empty() && input.view().back() != '\n') input += '\n';
    std::vector<std::string> extra{"SSH_ASKPASS=" + askpass, "SSH_ASKPASS_REQUIRE=force",
                                   std::string(ssh_askpass_variable) + "=" +
                                       std::to_string(ssh_askpass_fd)};
    return run_ssh_tool("ssh-add", args, socket, {input.view(), passphrase, true}, extra);
}

ssh_add_result ssh_check_passphrase(const std::string &file, std::string_view passphrase,
                                    const std::string &askpass) {
    const char *socket = std::getenv("SSH_AUTH_SOCK");
    std::vector<std::string> extra{"SSH_ASKPASS=" + askpass, "SSH_ASKPASS_REQUIRE=force",
                                   std::string(ssh_askpass_variable) + "=" +
                                       std::to_string(ssh_askpass_fd)};
    // ssh-keygen -y prints the public key only once the passphrase opened it.
    return run_ssh_tool("ssh-keygen", {"-y", "-f", file}, socket != nullptr ? socket : "",
                        {{}, passphrase, true}, extra);
}

ssh_add_result ssh_remove_key(const std::string &socket, const std::string &public_line) {
    const std::string line = public_line + "\n";
    return run_ssh_tool("ssh-add", {"-d", "-"}, socket, {line, {}});
}

std::optional<std::vector<std::string>> ssh_agent_keys(const std::string &socket) {
    ssh_add_result r = run_ssh_tool("ssh-add", {"-L"}, socket, {});
    std::vector<std::string> keys;
    // 1: an agent with no keys ("The agent has no identities.").
    if (!r.ok) {
        if (r.said.find("no identities") != std::string::npos) return keys;
        return std::nullopt;
    }
    for (const std::string &line : lines_in(r.said)) keys.push_back(key_of(line));
    return keys;
}

bool record_ssh_key(const std::string &copy, const std::string &socket,
                    const std::string &public_line) {
    // One line a key: a socket named with a line end cannot be recorded.
    if (socket.find_first_of("\t\n") != std::string::npos) return false;
    const std::string folder = folder_of_copy(copy);
    const std::string line = socket + "\t" + key_of(public_line);
    std::string text = read_record(folder);
    for (const std::string &had : lines_in(text))
        if (had == line) return true;
    return write_record(folder, text + line + "\n");
}

void forget_ssh_key(const std::string &copy, const std::string &socket,
                    const std::string &public_line) {
    const std::string folder = folder_of_copy(copy);
    const std::string line = socket + "\t" + key_of(public_line);
    std::string kept;
    bool found = false;
    for (const std::string &had : lines_in(read_record(folder))) {
        if (had == line) found = true;
        else kept += had + "\n";
    }
    if (found) (void)write_record(folder, kept);
}

void remove_recorded_ssh_keys(const std::string &folder) {
    for (const std::string &line : lines_in(read_record(folder))) {
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        (void)ssh_remove_key(line.substr(0, tab), line.substr(tab + 1));
    }
    ::unlink(record_path(folder).c_str());
    ::unlink((record_path(folder) + ".new").c_str());
}
