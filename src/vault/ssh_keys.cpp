#include "vault/ssh_keys.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "memory/secret.h"
#include "state/files.h"
#include "state/replacement.h"
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
// and error are collected. Waits for it, or, given a timeout, kills it once
// that passed without its end.
ssh_add_result run_ssh_tool(const char *tool, const std::vector<std::string> &args,
                            const std::string &socket, const child_io &io,
                            const std::vector<std::string> &extra = {}, int timeout_ms = -1) {
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool timed_out = false;
    for (;;) {
        if (timeout_ms >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_read.get(), POLLIN, 0};
            int ready = ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                timed_out = true;
                ::kill(pid, SIGKILL);
                break;
            }
        }
        ssize_t n = ::read(out_read.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.said.append(chunk, static_cast<std::size_t>(n));
    }
    std::signal(SIGPIPE, old);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.ok = !timed_out && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (WIFEXITED(status) && !timed_out) result.status = WEXITSTATUS(status);
    if (timed_out) result.said = "the ssh-agent does not answer";
    else if (result.status == 127 && result.said.empty())
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

std::vector<std::string> lines_in(const std::string &text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

// One recorded key: "COPY\tSOCKET\tFINGERPRINT\tALGORITHM BLOB", the same
// in both records.
struct recorded {
    std::string copy, socket, fingerprint, key;
    std::string line() const { return copy + "\t" + socket + "\t" + fingerprint + "\t" + key; }
    bool same_key(const recorded &o) const {
        return copy == o.copy && socket == o.socket && key == o.key;
    }
};

std::optional<recorded> parse(const std::string &line) {
    recorded r;
    std::string *field[] = {&r.copy, &r.socket, &r.fingerprint};
    std::size_t at = 0;
    for (std::string *f : field) {
        std::size_t tab = line.find('\t', at);
        if (tab == std::string::npos) return std::nullopt;
        *f = line.substr(at, tab - at);
        at = tab + 1;
    }
    r.key = line.substr(at);
    if (r.copy.empty() || r.socket.empty() || r.key.empty()) return std::nullopt;
    return r;
}

std::optional<std::string> home_record() {
    return home_file(ssh_keys_home_record);
}

std::string folder_record(const std::string &copy) {
    return folder_of_copy(copy) + "/" + ssh_keys_record;
}

// Once a process and file: the sweep and kesp-ssh add may both meet it.
void say_refused(const std::string &path) {
    static std::vector<std::string> said;
    if (std::find(said.begin(), said.end(), path) != said.end()) return;
    said.push_back(path);
    std::fprintf(stderr, "%s is not a regular file; kesp-ssh leaves it alone.\n", path.c_str());
}

// The keys a record holds. Nothing for a record that is a link or no
// regular file (refused, said when `say`); none when there is no record.
std::optional<std::vector<recorded>> read_record(const std::string &path, bool say) {
    std::vector<recorded> keys;
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid()) {
        if (errno == ENOENT || errno == ENOTDIR) return keys;
        if (say) say_refused(path);
        return std::nullopt;
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (say) say_refused(path);
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd.get(), chunk, sizeof chunk)) > 0 && text.size() < (1 << 20);)
        text.append(chunk, static_cast<std::size_t>(n));
    for (const std::string &line : lines_in(text))
        if (auto r = parse(line)) keys.push_back(*r);
    return keys;
}

// The record replaced whole and durably; removed once it holds nothing. A
// link or anything but a regular file in its place is refused.
bool write_record(const std::string &path, const std::vector<recorded> &keys) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        say_refused(path);
        return false;
    }
    if (keys.empty()) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    std::string text;
    for (const recorded &r : keys) text += r.line() + "\n";
    file_replacement file(path, path, replacement_failures::silent);
    return file.open() &&
           file.write(reinterpret_cast<const unsigned char *>(text.data()), text.size()) &&
           file.commit();
}

bool add_to(const std::string &path, const recorded &key) {
    auto keys = read_record(path, true);
    if (!keys) return false;
    for (const recorded &had : *keys)
        if (had.same_key(key)) return true;
    keys->push_back(key);
    return write_record(path, *keys);
}

// Drops from the record what `drop` picks; silent, a record left as it was
// when it cannot be read.
template <typename Pick>
void drop_from(const std::string &path, Pick drop) {
    auto keys = read_record(path, false);
    if (!keys) return;
    std::vector<recorded> kept;
    for (const recorded &r : *keys)
        if (!drop(r)) kept.push_back(r);
    if (kept.size() != keys->size()) (void)write_record(path, kept);
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
    return run_ssh_tool("ssh-add", {"-d", "-"}, socket, {line, {}}, {}, ssh_removal_timeout_ms);
}

std::optional<std::vector<std::string>> ssh_agent_keys(const std::string &socket) {
    ssh_add_result r = run_ssh_tool("ssh-add", {"-L"}, socket, {}, {}, ssh_removal_timeout_ms);
    std::vector<std::string> keys;
    // 1: an agent with no keys ("The agent has no identities.").
    if (!r.ok) {
        if (r.said.find("no identities") != std::string::npos) return keys;
        return std::nullopt;
    }
    for (const std::string &line : lines_in(r.said)) keys.push_back(key_of(line));
    return keys;
}

ssh_removal take_ssh_key_out(const std::string &socket, const std::string &public_line,
                             std::string &why) {
    ssh_add_result r = ssh_remove_key(socket, public_line);
    why = r.said.substr(0, r.said.find('\n'));
    if (why.empty()) why = "ssh-add failed";
    if (r.ok) return ssh_removal::removed;
    // 2: no agent to connect to there, and no key either.
    if (r.status == 2) return ssh_removal::absent;
    if (r.status == 1) {
        // Refused: gone already (its lifetime ran out), or still there.
        ssh_add_result listed = run_ssh_tool("ssh-add", {"-L"}, socket, {}, {},
                                             ssh_removal_timeout_ms);
        if (listed.status == 2 || listed.said.find("no identities") != std::string::npos)
            return ssh_removal::absent;
        if (listed.ok) {
            bool there = false;
            for (const std::string &line : lines_in(listed.said))
                there = there || key_of(line) == key_of(public_line);
            if (!there) return ssh_removal::absent;
        }
    }
    return ssh_removal::failed;
}

bool record_ssh_key(const std::string &copy, const std::string &socket,
                    const std::string &fingerprint, const std::string &public_line,
                    std::string &where) {
    auto home = home_record();
    where = home ? *home : std::string("~/") + ssh_keys_home_record;
    // One line a key, tab-separated: no field may hold either.
    for (const std::string *field : {&copy, &socket, &fingerprint})
        if (field->find_first_of("\t\n") != std::string::npos) return false;
    if (!home) return false;
    const recorded key{copy, socket, fingerprint, key_of(public_line)};
    // Under HOME first: it outlives the folder.
    if (!add_to(*home, key)) return false;
    if (!add_to(folder_record(copy), key)) {
        where = folder_of_copy(copy);
        drop_from(*home, [&](const recorded &r) { return r.same_key(key); });
        return false;
    }
    return true;
}

void forget_ssh_key(const std::string &copy, const std::string &socket,
                    const std::string &public_line) {
    const recorded key{copy, socket, {}, key_of(public_line)};
    auto same = [&](const recorded &r) { return r.same_key(key); };
    drop_from(folder_record(copy), same);
    if (auto home = home_record()) drop_from(*home, same);
}

bool ssh_key_in_folder(const std::string &copy, const std::string &socket,
                       const std::string &public_line) {
    const recorded key{copy, socket, {}, key_of(public_line)};
    auto keys = read_record(folder_record(copy), false);
    return keys && std::any_of(keys->begin(), keys->end(),
                               [&](const recorded &r) { return r.same_key(key); });
}

void remove_recorded_ssh_keys(const std::string &copy) {
    auto home = home_record();
    std::vector<recorded> of_copy;
    auto gather = [&](const std::optional<std::vector<recorded>> &keys) {
        if (!keys) return;
        for (const recorded &r : *keys)
            if (r.copy == copy &&
                std::none_of(of_copy.begin(), of_copy.end(),
                             [&](const recorded &had) { return had.same_key(r); }))
                of_copy.push_back(r);
    };
    gather(read_record(folder_record(copy), false));
    if (home) gather(read_record(*home, false));
    std::vector<recorded> done;
    for (const recorded &r : of_copy) {
        std::string why;
        if (take_ssh_key_out(r.socket, r.key, why) != ssh_removal::failed) {
            done.push_back(r);
            continue;
        }
        std::fprintf(stderr,
                     "The key %s that kesp-ssh added could not be removed from the ssh-agent at "
                     "%s: %s; %s keeps it for the next try.\n",
                     r.fingerprint.c_str(), r.socket.c_str(), why.c_str(),
                     home ? home->c_str() : ssh_keys_home_record);
    }
    if (home)
        drop_from(*home, [&](const recorded &r) {
            return std::any_of(done.begin(), done.end(),
                               [&](const recorded &d) { return d.same_key(r); });
        });
    // What failed is kept under HOME: the folder's record goes with it.
    const std::string folder = folder_record(copy);
    struct stat st;
    if (::lstat(folder.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(folder.c_str());
}

void remove_keys_of_ended_agents() {
    static bool done = false;
    if (done) return;
    done = true;
    auto home = home_record();
    if (!home) return;
    auto keys = read_record(*home, true);
    if (!keys) return;
    std::vector<std::string> copies;
    for (const recorded &r : *keys)
        if (std::find(copies.begin(), copies.end(), r.copy) == copies.end())
            copies.push_back(r.copy);
    for (const std::string &copy : copies) {
        bool gone = false;
        // An agent that answers still holds its database, and its keys.
        if (ask_agent(copy, agent_verb::status, {}, &gone) || !gone) continue;
        remove_recorded_ssh_keys(copy);
    }
}
