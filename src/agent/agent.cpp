#include "agent/agent.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "agent/holder.h"
#include "agent/server.h"
#include "state/console.h"
#include "state/failure.h"
#include "state/files.h"
#include "state/pointer_file.h"
#include "vault/agent_link.h"
#include "vault/detect.h"
#include "vault/lock.h"
#include "vault/ssh_keys.h"

namespace {

using clock_type = agent_clock;

const char *const nothing_unlocked = "Nothing is unlocked.\n";

// A RAM filesystem holds the copy, or nothing is unlocked.
bool in_ram(const std::string &folder) {
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) != 0) {
        print_errno("Unable to examine " + folder);
        return false;
    }
    const auto type = static_cast<unsigned long>(fs.f_type);
    if (type == TMPFS_MAGIC || type == RAMFS_MAGIC) return true;
    std::fprintf(stderr,
                 "%s is not a RAM filesystem (tmpfs or ramfs): the unlocked database would reach "
                 "the disk; nothing was unlocked.\n",
                 folder.c_str());
    return false;
}

void warn_about_swap() {
    file_ptr swaps{std::fopen("/proc/swaps", "re")};
    if (!swaps) return;
    char line[512];
    int lines = 0;
    while (std::fgets(line, sizeof line, swaps.get()) != nullptr) ++lines;
    if (lines > 1)
        std::fputs("WARNING: swap is enabled; unless it is encrypted, parts of the unlocked "
                   "database can reach the disk.\n",
                   stderr);
}

// The private folder, made or checked: ours, a folder, 0700.
bool private_folder(const std::string &folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        print_errno("Unable to create " + folder);
        return false;
    }
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        std::fprintf(stderr, "%s is not a private folder of yours; nothing was unlocked.\n",
                     folder.c_str());
        return false;
    }
    return true;
}

// Reads the master password from the terminal itself, never from standard
// input.
bool ask_master_password(secret_buffer &password) {
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fputs("No terminal to ask the master password on; nothing was unlocked.\n", stderr);
        return false;
    }
    file_ptr tty{::fdopen(fd, "r+")};
    if (!tty) {
        ::close(fd);
        print_errno("/dev/tty");
        return false;
    }
    std::setvbuf(tty.get(), nullptr, _IONBF, 0);
    return read_secret_shown_on("Master password: ", password.data, sizeof password.data,
                                tty.get(), tty.get()) == secret_status::ok;
}

// True when no database is active. An agent's copy whose agent still
// answers is named with the container it holds; one whose agent ended is
// cleaned up (or kept, when it holds unsealed changes) and said so.
bool nothing_active() {
    if (!has_active_db()) return true;
    auto active = read_active_db_path();
    if (active && is_agent_copy(*active)) {
        bool gone = false;
        auto reply = ask_agent(*active, agent_verb::status, {}, &gone);
        if (reply && reply->ok) {
            std::string container = reply->text.substr(0, reply->text.find('\n'));
            std::fprintf(stderr,
                         "%s is already unlocked by kesp-agent; kesp-agent lock locks it "
                         "first.\n",
                         container.c_str());
            return false;
        }
        if (gone) {
            note_agent_use(*active);
            if (!has_active_db()) return true;
            // A copy kept for its unsealed changes was named just now.
            if (auto still = read_active_db_path(); still && *still == *active) return false;
        } else {
            std::fprintf(stderr, "The agent that holds %s does not answer; nothing was unlocked.\n",
                         container_of_copy(*active).c_str());
            return false;
        }
    }
    std::fputs("Existing database is already active. Encrypt it or lock it first.\n", stderr);
    return false;
}

}  // namespace

std::optional<long> parse_duration(const char *text) {
    char *end = nullptr;
    errno = 0;
    if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
    long n = std::strtol(text, &end, 10);
    if (errno != 0 || n <= 0 || end[0] == '\0' || end[1] != '\0') return std::nullopt;
    long unit = end[0] == 's' ? 1 : end[0] == 'm' ? 60 : end[0] == 'h' ? 3600 : 0;
    if (unit == 0 || n > 100L * 24 * 3600 / unit) return std::nullopt;
    return n * unit;
}

int agent_unlock(const unlock_options &options) {
    remove_keys_of_ended_agents();
    // The agent leaves its working folder for "/": a relative HOME would
    // lead it to no lock file and no pointer file from then on.
    if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0' &&
                                                 *home != '/') {
        const std::string absolute = absolute_path(home);
        ::setenv("HOME", absolute.c_str(), 1);
    }
    std::string db = options.db;
    if (db.empty()) {
        auto last = last_db();
        if (!last) {
            std::fputs("No database was locked or encrypted here before: name it (kesp-agent "
                       "unlock DB).\n",
                       stderr);
            return 1;
        }
        db = *last;
    }
    const std::string container = absolute_path(db.c_str());
    if (!nothing_active()) return 1;
    if (!is_encrypted_db(container.c_str())) {
        std::fprintf(stderr, "%s is not an encrypted database; nothing was unlocked.\n",
                     db.c_str());
        return 1;
    }
    if (!no_container_side_file(container.c_str())) return 1;
    if (!in_ram(agent_folder_base())) return 1;
    // Made before the question, so that a folder that cannot be made
    // costs no password.
    const std::string folder = make_agent_folder();
    if (folder.empty()) return 1;
    warn_about_swap();

    auto a = std::make_unique<agent>();
    a->container = container;
    a->folder = folder;
    a->copy = folder + "/" + agent_copy_name;
    a->idle_seconds = options.idle_seconds;
    {
        secret_buffer &password = a->key.password();
        if (!ask_master_password(password)) return 1;
        a->container_seen = seen_now(container);
        opened_container plain = open_keeping_key(password.data, container, a->key.key());
        if (plain.status == open_status::failed) print_status(plain.why);
        if (plain.status == open_status::wrong_password)
            std::fputs("Invalid password or tampered data. Aborted.\n", stderr);
        if (plain.status != open_status::ok || !private_folder(folder)) {
            ::rmdir(folder.c_str());
            return 1;
        }
        if (!write_new_file(a->copy, plain.plain->data(), plain.plain->size()) ||
            !write_new_file(folder + "/" + agent_container_record,
                            reinterpret_cast<const unsigned char *>(container.data()),
                            container.size())) {
            wipe_agent_copy(a->copy);
            return 1;
        }
        a->take_sealed(std::move(plain.plain));
    }
    unique_fd listener = listen_on(folder + "/" + agent_socket_name);
    if (!listener.valid()) {
        wipe_agent_copy(a->copy);
        return 1;
    }
    {
        auto lock = take_user_lock(lock_kind::exclusive);
        if (!lock || !nothing_active() || !write_active_db_path(a->copy.c_str())) {
            if (lock) lock->release_unsealed();
            listener.reset();
            wipe_agent_copy(a->copy);
            return 1;
        }
        remember_unlocked(a->copy, container);
        // Told of an earlier lock by now, or no longer worth telling.
        if (auto told = home_file(".kesp.agent_locked")) ::unlink(told->c_str());
        lock->release_unsealed();
    }
    a->last_use = clock_type::now();
    a->ends = a->last_use + std::chrono::seconds(options.max_seconds);
    std::fflush(nullptr);
    // The terminal's hangup when this program ends must not reach the
    // agent before it has a session of its own and its handlers.
    sigset_t hangup, before;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    sigaddset(&hangup, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &hangup, &before);
    pid_t child = ::fork();
    if (child < 0) {
        print_errno("Unable to start the agent");
        listener.reset();
        wipe_agent_copy(a->copy);
        return 1;
    }
    if (child == 0) {
        detach(*a);
        run_agent(*a, listener.get(), before);
        listener.reset();
        a.reset();
        std::_Exit(0);
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    std::printf("%s is unlocked; it locks after %s without use (kesp-agent lock locks it now).\n",
                db.c_str(), spoken_duration(options.idle_seconds).c_str());
    return 0;
}

int agent_lock() {
    remove_keys_of_ended_agents();
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return 1;
    auto active = read_active_db_path();
    if (!active || !is_agent_copy(*active)) {
        lock->release_unsealed();
        std::fputs(nothing_unlocked, stdout);
        return 0;
    }
    if (!note_agent_use(*active)) {
        lock->release_unsealed();
        return 0;
    }
    std::string container = container_of_copy(*active);
    auto reply = ask_agent(*active, agent_verb::lock);
    lock->release_unsealed();
    if (!reply || !reply->ok) {
        std::fprintf(stderr, "%s stays unlocked: %s.\n", container.c_str(),
                     reply ? reply->text.c_str() : "the agent does not answer");
        return 1;
    }
    say_agent_notice(reply->text);
    std::printf("%s is locked.\n", container.c_str());
    return 0;
}

int agent_status() {
    remove_keys_of_ended_agents();
    auto active = read_active_db_path();
    if (!active || !is_agent_copy(*active)) {
        std::fputs(nothing_unlocked, stdout);
        return 1;
    }
    bool gone = false;
    auto reply = ask_agent(*active, agent_verb::status, {}, &gone);
    if (!reply) {
        if (gone) note_agent_use(*active);
        else std::fputs("The agent does not answer.\n", stderr);
        return 1;
    }
    // Container, copy, seconds left, the agent's process: a line each.
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = reply->text.find('\n', at)) != std::string::npos;
         at = end + 1)
        lines.push_back(reply->text.substr(at, end - at));
    if (lines.size() < 4) return 1;
    std::printf("Database: %s\nCopy: %s\nLocks in: %s s\nAgent: process %s\n",
                lines[0].c_str(), lines[1].c_str(), lines[2].c_str(), lines[3].c_str());
    return 0;
}
