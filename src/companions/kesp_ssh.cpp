// kesp-ssh: the OpenSSH private keys kept in entries' notes, handed to the
// ssh-agent of SSH_AUTH_SOCK through ssh-add (add, remove, list), and a key
// file kept as a new entry (import).
//
// It asks nothing but an imported key's passphrase. Keys added from a
// database that kesp-agent holds are recorded (in the agent's folder and
// under HOME) and removed from the ssh-agent when it locks, or by the next
// program once it is gone; their lifetime never outlasts the agent's
// maximum time.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "companions/companion.h"
#include "memory/secret.h"
#include "output/display.h"
#include "output/ssh_key.h"
#include "state/console.h"
#include "state/files.h"
#include "state/numbers.h"
#include "store/db.h"
#include "vault/active_db.h"
#include "vault/agent_link.h"
#include "vault/program.h"
#include "vault/session.h"
#include "vault/ssh_keys.h"

namespace {

const option long_options[] = {
    {"confirm", no_argument, nullptr, 'c'},
    {"lifetime", required_argument, nullptr, 't'},
    {"title", required_argument, nullptr, 'T'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-ssh add [--confirm] [--lifetime DURATION] ID...\n"
    "       kesp-ssh remove ID...\n"
    "       kesp-ssh list\n"
    "       kesp-ssh import FILE [--title TITLE]\n"
    "Hands the OpenSSH private keys kept in entries' notes (their passphrase in\n"
    "the password) to the ssh-agent of SSH_AUTH_SOCK, takes them back, lists\n"
    "them, or keeps a key file as a new entry. Keys added from a database that\n"
    "kesp-agent holds leave the ssh-agent when it locks. See kesp-ssh(1).\n",
    "ct:T:h", long_options};

struct options {
    bool confirm = false;
    long lifetime = 0;  // 0: as long as the agent holds the database
    bool has_lifetime = false;
    std::string title;
    bool has_title = false;
};

std::string shown(std::string_view text) {
    secret_string out;
    append_visible(out, text, ::isatty(STDERR_FILENO) == 1 || ::isatty(STDOUT_FILENO) == 1);
    return std::string(out.view());
}

// ssh-add runs this program again as its SSH_ASKPASS: the passphrase is on
// the descriptor it inherited, read once (a second question, after a wrong
// passphrase, finds the pipe empty and gets no answer).
int answer_askpass() {
    secret_string passphrase;
    char chunk[256];
    for (;;) {
        ssize_t n = ::read(ssh_askpass_fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        passphrase.append({chunk, static_cast<std::size_t>(n)});
    }
    wipe(chunk, sizeof chunk);
    ::close(ssh_askpass_fd);
    if (passphrase.empty()) return exit_failure;
    passphrase += '\n';
    return write_all(STDOUT_FILENO, passphrase.view()) ? exit_ok : exit_failure;
}

std::string own_program() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, static_cast<std::size_t>(n));
}

// The encrypted database no agent holds: the one the pointer file names,
// or, with none active, the one this account last locked or encrypted.
std::optional<std::string> locked_container(active_state state, const active_db &probe) {
    if (state == active_state::encrypted) return probe.path;
    if (state != active_state::none) return std::nullopt;
    auto last = last_db();
    if (!last || !file_exists(last->c_str())) return std::nullopt;
    return last;
}

// False (after saying so) when there is no database to read.
bool database_readable() {
    active_db probe;
    active_state state = probe_active_db(probe);
    // An agent that ended has said so, and how to unlock, already.
    if (state == active_state::ended) return false;
    if (auto locked = locked_container(state, probe)) {
        std::fprintf(stderr, "The database %s is encrypted; kesp-agent unlock lets kesp-ssh use it.\n",
                     locked->c_str());
        return false;
    }
    return true;
}

std::optional<std::string> agent_socket() {
    const char *socket = std::getenv("SSH_AUTH_SOCK");
    if (socket == nullptr || *socket == '\0') {
        std::fputs("SSH_AUTH_SOCK is not set: there is no ssh-agent to talk to.\n", stderr);
        return std::nullopt;
    }
    return std::string(socket);
}

std::optional<std::vector<int>> entry_ids(int argc, char **argv) {
    std::vector<int> ids;
    for (int i = optind; i < argc; ++i) {
        auto id = parse_whole_number(argv[i], 1, 999999999);
        if (!id) return std::nullopt;
        ids.push_back(*id);
    }
    if (ids.empty()) return std::nullopt;
    return ids;
}

// One entry's key, read under the shared lock.
struct entry_key {
    int id = 0;
    std::string title;
    secret_string block;
    secret_string passphrase;
    openssh_public_key key;
};

std::optional<entry_key> key_of_entry(const entry &e) {
    std::string_view notes = text_or_empty(e.notes);
    auto span = find_openssh_key(notes);
    if (!span) {
        std::fprintf(stderr, "Entry %d (%s) holds no OpenSSH private key.\n", e.id,
                     shown(text_or_empty(e.title)).c_str());
        return std::nullopt;
    }
    std::string_view block = notes.substr(span->start, span->size);
    auto key = read_openssh_key(block);
    if (!key) {
        std::fprintf(stderr, "The OpenSSH private key of entry %d (%s) cannot be read.\n", e.id,
                     shown(text_or_empty(e.title)).c_str());
        return std::nullopt;
    }
    return entry_key{e.id, text_or_empty(e.title), block, text_or_empty(e.password), *key};
}

// The keys of `ids`, and the database they came from; nothing after a
// message when one is missing or holds no key.
struct read_keys {
    active_db db;
    std::vector<entry_key> keys;
};

std::optional<read_keys> keys_of(const std::vector<int> &ids) {
    auto s = begin_session(lock_kind::shared);
    if (!s) return std::nullopt;
    read_keys out{s->db, {}};
    for (int id : ids) {
        entry_ptr e(db_get_entry(s->handle(), id));
        if (!e) return std::nullopt;
        if (e->id < 0) {
            std::fprintf(stderr, "Entry %d not found.\n", id);
            return std::nullopt;
        }
        auto key = key_of_entry(*e);
        if (!key) return std::nullopt;
        out.keys.push_back(std::move(*key));
    }
    return out;
}

// Seconds until the agent holding `copy` locks at its latest; nothing when
// it does not answer.
std::optional<long> agent_time_left(const std::string &copy) {
    auto reply = ask_agent(copy, agent_verb::status);
    if (!reply || !reply->ok) return std::nullopt;
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = reply->text.find('\n', at)) != std::string::npos;
         at = end + 1)
        lines.push_back(reply->text.substr(at, end - at));
    if (lines.size() < 5) return std::nullopt;
    auto left = parse_whole_number(lines[4].c_str(), 0, 999999999);
    if (!left) return std::nullopt;
    return *left;
}

std::string first_line(const std::string &said) {
    std::string line = said.substr(0, said.find('\n'));
    return line.empty() ? "no reason given" : line;
}

int add(const options &o, const std::vector<int> &ids) {
    auto socket = agent_socket();
    if (!socket || !database_readable()) return exit_failure;
    auto read = keys_of(ids);
    if (!read) return exit_failure;
    const std::string &copy = read->db.path;
    const bool held = is_agent_copy(copy);
    long lifetime = o.lifetime;
    if (held) {
        auto left = agent_time_left(copy);
        if (!left || *left <= 0) {
            std::fputs("kesp-agent is locking the database; no key was added.\n", stderr);
            return exit_failure;
        }
        lifetime = o.has_lifetime ? std::min(o.lifetime, *left) : *left;
    }
    const std::string askpass = own_program();
    for (const entry_key &k : read->keys) {
        const std::string line = k.key.line();
        // Recorded first: a key in the ssh-agent that the record misses
        // would outlive the lock.
        std::string where;
        if (held && !record_ssh_key(copy, *socket, k.key.fingerprint, line, where)) {
            std::fprintf(stderr, "Cannot record the key of entry %d in %s; it was not added.\n",
                         k.id, where.c_str());
            return exit_failure;
        }
        ssh_add_result r = ssh_add_key(*socket, k.block.view(), k.passphrase.view(), lifetime,
                                       o.confirm, askpass);
        if (!r.ok) {
            if (held) forget_ssh_key(copy, *socket, line);
            std::fprintf(stderr, "ssh-add refused the key of entry %d (%s): %s\n", k.id,
                         shown(k.title).c_str(), shown(first_line(r.said)).c_str());
            return exit_failure;
        }
        // The agent locked meanwhile and its folder's record went with it.
        if (held && !ssh_key_in_folder(copy, *socket, line)) {
            remove_recorded_ssh_keys(copy);
            std::fputs("kesp-agent locked the database meanwhile; the key was taken back.\n",
                       stderr);
            return exit_failure;
        }
        std::printf("Entry %d (%s): %s %s added", k.id, shown(k.title).c_str(), k.key.type.c_str(),
                    k.key.fingerprint.c_str());
        if (lifetime > 0) std::printf(" for %ld s", lifetime);
        std::puts(o.confirm ? ", each use confirmed." : ".");
    }
    return exit_ok;
}

int remove(const std::vector<int> &ids) {
    auto socket = agent_socket();
    if (!socket || !database_readable()) return exit_failure;
    auto read = keys_of(ids);
    if (!read) return exit_failure;
    int status = exit_ok;
    for (const entry_key &k : read->keys) {
        const std::string line = k.key.line();
        std::string why;
        ssh_removal r = take_ssh_key_out(*socket, line, why);
        // A key that may still be there stays recorded, to go at the lock.
        if (r != ssh_removal::failed && is_agent_copy(read->db.path))
            forget_ssh_key(read->db.path, *socket, line);
        if (r != ssh_removal::removed) {
            std::fprintf(stderr, "The key of entry %d (%s) is not in the ssh-agent: %s\n", k.id,
                         shown(k.title).c_str(), shown(why).c_str());
            status = exit_failure;
            continue;
        }
        std::printf("Entry %d (%s): %s %s removed.\n", k.id, shown(k.title).c_str(),
                    k.key.type.c_str(), k.key.fingerprint.c_str());
    }
    return status;
}

int list() {
    if (!database_readable()) return exit_failure;
    std::vector<std::string> loaded;
    bool agent_known = false;
    if (const char *socket = std::getenv("SSH_AUTH_SOCK"); socket != nullptr && *socket != '\0') {
        if (auto keys = ssh_agent_keys(socket)) {
            loaded = std::move(*keys);
            agent_known = true;
        }
    }
    auto s = begin_session(lock_kind::shared);
    if (!s) return exit_failure;
    entry_ptr all(db_list_entries(s->handle(), list_all));
    if (!all) return exit_failure;
    for (const entry *e = all->next; e != nullptr; e = e->next) {
        std::string_view notes = text_or_empty(e->notes);
        auto span = find_openssh_key(notes);
        if (!span) continue;
        auto key = read_openssh_key(notes.substr(span->start, span->size));
        if (!key) continue;
        const char *state = !agent_known ? "no ssh-agent"
                            : std::find(loaded.begin(), loaded.end(), key->line()) != loaded.end()
                                ? "loaded"
                                : "not loaded";
        std::printf("%d\t%s\t%s\t%s\t%s\n", e->id, shown(text_or_empty(e->title)).c_str(),
                    key->type.c_str(), key->fingerprint.c_str(), state);
    }
    return exit_ok;
}

// The key file, whole; nothing after a message.
std::optional<secret_string> read_key_file(const char *path) {
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        print_errno(std::string("Cannot read ") + path);
        return std::nullopt;
    }
    secret_string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            wipe(chunk, sizeof chunk);
            print_errno(std::string("Cannot read ") + path);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append({chunk, static_cast<std::size_t>(n)});
        if (text.size() > 1 << 20) {
            wipe(chunk, sizeof chunk);
            std::fprintf(stderr, "%s is too large for a key file.\n", path);
            return std::nullopt;
        }
    }
    wipe(chunk, sizeof chunk);
    return text;
}

int import(const options &o, const char *path) {
    if (!database_readable()) return exit_failure;
    auto text = read_key_file(path);
    if (!text) return exit_failure;
    auto span = find_openssh_key(text->view());
    std::optional<openssh_public_key> key;
    if (span) key = read_openssh_key(text->view().substr(span->start, span->size));
    if (!key) {
        std::fprintf(stderr, "%s holds no OpenSSH private key.\n", path);
        return exit_failure;
    }
    secret_string block(text->view().substr(span->start, span->size));
    block += '\n';
    secret_buffer passphrase;
    if (key->encrypted) {
        switch (read_secret("Passphrase of the key: ", passphrase.data, sizeof passphrase.data,
                            stdin)) {
        case secret_status::ok: break;
        case secret_status::no_terminal:
            std::fputs("A terminal is needed to type the key's passphrase.\n", stderr);
            return exit_failure;
        case secret_status::too_long: return exit_failure;
        case secret_status::end_of_input:
            std::fputs("Input ended; nothing was imported.\n", stderr);
            return exit_failure;
        }
        ssh_add_result r = ssh_check_passphrase(path, passphrase.data, own_program());
        if (!r.ok) {
            std::fprintf(stderr, "That is not the passphrase of %s; nothing was imported.\n",
                         path);
            return exit_failure;
        }
    }
    std::string title = o.has_title ? o.title : std::string(path).substr(std::string(path).rfind('/') + 1);
    auto s = begin_session(lock_kind::shared);
    if (!s) return exit_failure;
    active_db db = s->db;
    s.reset();
    entry_ptr fresh(entry_new(title.c_str(), "", "", passphrase.data, block.c_str()));
    if (!add_entry(db, *fresh)) return exit_failure;
    std::printf("%s is kept as a new entry (%s): %s %s.\n", path, shown(title).c_str(),
                key->type.c_str(), key->fingerprint.c_str());
    return exit_ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (const char *fd = std::getenv(ssh_askpass_variable);
        fd != nullptr && std::strcmp(fd, std::to_string(ssh_askpass_fd).c_str()) == 0) {
        install_alloc_failure_handler();
        return answer_askpass();
    }
    start_program();

    options o;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        if (c == 'c') o.confirm = true;
        if (c == 't') {
            auto seconds = parse_duration(argument);
            if (!seconds) {
                std::fprintf(stderr, "kesp-ssh: invalid duration: %s\n", argument);
                return false;
            }
            o.lifetime = *seconds;
            o.has_lifetime = true;
        }
        if (c == 'T') {
            o.title = argument;
            o.has_title = true;
        }
        return true;
    });
    if (done) return *done;
    if (optind >= argc) return bad_usage(program);
    const std::string command = argv[optind++];
    const bool key_options = o.confirm || o.has_lifetime;
    if (command == "add" || command == "remove") {
        auto ids = entry_ids(argc, argv);
        if (!ids || o.has_title || (command == "remove" && key_options)) return bad_usage(program);
        return command == "add" ? add(o, *ids) : remove(*ids);
    }
    if (command == "list") {
        if (optind != argc || key_options || o.has_title) return bad_usage(program);
        return list();
    }
    if (command == "import") {
        if (optind != argc - 1 || key_options) return bad_usage(program);
        return import(o, argv[optind]);
    }
    return bad_usage(program);
}
