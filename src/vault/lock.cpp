#include "vault/lock.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "vault/agent_link.h"

namespace {

constexpr auto patience = std::chrono::seconds(1);
constexpr auto retry_interval = std::chrono::milliseconds(10);
constexpr auto waiting_interval = std::chrono::milliseconds(100);

// The holder's process id, as fixed-width text at the start of the file, so
// that two sharing holders writing at once leave one whole number.
constexpr int pid_width = 12;

// O_NOFOLLOW: a link planted at the name must not make us create or lock
// some other file. A read-only home still allows locking an existing file.
unique_fd open_lock_file(const std::string &path) {
    unique_fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() && (errno == EROFS || errno == EACCES))
        fd.reset(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return fd;
}

// flock cannot say who holds a lock: the holder says it itself. A file
// opened read-only keeps what the last writable holder wrote.
void record_holder(int fd) {
    char text[pid_width + 1];
    std::snprintf(text, sizeof text, "%*d\n", pid_width - 1, static_cast<int>(::getpid()));
    (void)!::pwrite(fd, text, pid_width, 0);
}

struct holder {
    pid_t pid = 0;  // 0: not known
    bool stopped = false;
};

// The process named in the lock file, when it is a live program of this
// suite (its name starts with "kesp"): a number left by one that ended, or
// taken over by another process since, names nobody.
holder current_holder(int fd) {
    char text[pid_width + 1] = {};
    if (::pread(fd, text, pid_width, 0) != pid_width) return {};
    long pid = std::strtol(text, nullptr, 10);
    if (pid <= 0 || pid == ::getpid()) return {};
    std::string proc = "/proc/" + std::to_string(pid);
    char name[32] = {};
    if (file_ptr comm{std::fopen((proc + "/comm").c_str(), "re")}) {
        if (std::fgets(name, sizeof name, comm.get()) == nullptr) name[0] = '\0';
    }
    if (std::strncmp(name, "kesp", 4) != 0) return {};
    // The state follows the name in parentheses, which may hold anything.
    char stat[512] = {};
    if (file_ptr file{std::fopen((proc + "/stat").c_str(), "re")}) {
        if (std::fgets(stat, sizeof stat, file.get()) == nullptr) stat[0] = '\0';
    }
    const char *close = std::strrchr(stat, ')');
    holder h{static_cast<pid_t>(pid), false};
    h.stopped = close != nullptr && (close[1] == ' ') && (close[2] == 'T' || close[2] == 't');
    return h;
}

// Says once that we wait and for whom, and once more if the holder is (or
// later becomes) stopped, since then it waits for a person, not for work.
class waiting_notice {
public:
    void update(int fd) {
        holder h = current_holder(fd);
        if (!said_) {
            said_ = true;
            if (h.pid == 0)
                std::fputs("Waiting for another kesp to finish.\n", stderr);
            else
                std::fprintf(stderr, "Waiting for another kesp (process %d) to finish.\n",
                             static_cast<int>(h.pid));
        }
        if (h.stopped && h.pid != stopped_said_) {
            stopped_said_ = h.pid;
            std::fprintf(stderr,
                         "Process %d, which holds the lock, is stopped: resume it (fg in its "
                         "terminal, or kill -CONT %d).\n",
                         static_cast<int>(h.pid), static_cast<int>(h.pid));
        }
    }

private:
    bool said_ = false;
    pid_t stopped_said_ = 0;
};

}  // namespace

user_lock::~user_lock() {
    if (seals_ && fd_.valid()) seal_agent_copy();
}

std::optional<std::string> lock_file_path() {
    return home_file(".kesp.lock");
}

std::optional<user_lock> take_user_lock(lock_kind kind) {
    auto path = lock_file_path();
    if (!path) return user_lock(unique_fd());
    unique_fd fd = open_lock_file(*path);
    if (!fd.valid()) {
        print_errno("Unable to open the lock file " + *path);
        return std::nullopt;
    }

    const int operation = (kind == lock_kind::shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    // A short wait stays silent; a long one is explained.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    waiting_notice notice;
    for (;;) {
        if (::flock(fd.get(), operation) == 0) {
            record_holder(fd.get());
            return user_lock(std::move(fd), kind == lock_kind::exclusive);
        }
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        bool patient = std::chrono::steady_clock::now() < deadline;
        if (!patient) notice.update(fd.get());
        std::this_thread::sleep_for(patient ? retry_interval : waiting_interval);
    }
    print_errno("Unable to lock " + *path);
    return std::nullopt;
}

std::optional<user_lock> inherited_user_lock(int fd, const char *what) {
    auto path = lock_file_path();
    struct stat given, file;
    bool same = path && ::fstat(fd, &given) == 0 && ::lstat(path->c_str(), &file) == 0 &&
                S_ISREG(file.st_mode) && given.st_dev == file.st_dev &&
                given.st_ino == file.st_ino;
    // Locking again through the same open file succeeds where it is held
    // already; another holder makes it fail at once.
    if (!same || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "%s is not the lock file %s, held.\n", what,
                     path ? path->c_str() : "~/.kesp.lock");
        return std::nullopt;
    }
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
        print_errno(what);
        return std::nullopt;
    }
    return user_lock(unique_fd(own));
}
