#include "state/replacement.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <limits.h>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "state/numbers.h"
#include "state/test_hooks.h"
#include "state/failure.h"

namespace {

// The name of the file being written, for the signal handler to remove.
char pending_name[PATH_MAX];
volatile sig_atomic_t have_pending_name = 0;

const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction saved_actions[std::size(cleanup_signals)];

extern "C" void remove_pending_and_die(int signo) {
    if (have_pending_name) ::unlink(pending_name);
    std::signal(signo, SIG_DFL);
    ::raise(signo);  // delivered once the handler returns: the usual death
}

// While a named new file exists, a caught signal removes it first.
void watch_pending_name(const std::string &name) {
    if (name.size() >= sizeof pending_name) return;
    std::memcpy(pending_name, name.c_str(), name.size() + 1);
    have_pending_name = 1;
    struct sigaction action {};
    action.sa_handler = remove_pending_and_die;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(cleanup_signals); ++i)
        sigaction(cleanup_signals[i], &action, &saved_actions[i]);
}

void forget_pending_name() {
    if (!have_pending_name) return;
    for (std::size_t i = 0; i < std::size(cleanup_signals); ++i)
        sigaction(cleanup_signals[i], &saved_actions[i], nullptr);
    have_pending_name = 0;
}

// The PID of `name` when it is `prefix` followed by a process id written as
// the new file's name writes it (no sign, no leading zero); nothing for any
// other name.
std::optional<pid_t> leftover_pid(std::string_view name, std::string_view prefix) {
    if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
    std::string_view digits = name.substr(prefix.size());
    auto pid = parse_whole_number(digits, 1, INT_MAX);
    if (!pid || std::to_string(*pid) != digits) return std::nullopt;
    return static_cast<pid_t>(*pid);
}

bool is_live_process(pid_t pid) { return pid == ::getpid() || ::kill(pid, 0) == 0 || errno == EPERM; }

struct dir_closer {
    void operator()(DIR *dir) const { ::closedir(dir); }
};

}  // namespace

void remove_stale_new_files(const std::string &target) {
    std::size_t slash = target.rfind('/');
    const std::string prefix = target.substr(slash == std::string::npos ? 0 : slash + 1) + ".new.";
    std::unique_ptr<DIR, dir_closer> folder(::opendir(directory_of(target).c_str()));
    if (!folder) return;  // the export reports a folder it cannot write to
    const int fd = ::dirfd(folder.get());
    const uid_t user = ::geteuid();
    while (const dirent *found = ::readdir(folder.get())) {
        auto pid = leftover_pid(found->d_name, prefix);
        if (!pid || is_live_process(*pid)) continue;
        struct stat st;
        if (::fstatat(fd, found->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != user)
            continue;
        // unlinkat removes the name it is given, whatever it leads to now.
        if (::unlinkat(fd, found->d_name, 0) == 0)
            say_failuref("Removed %s.new.%d, left behind by a process that was killed "
                         "while writing it.\n", target.c_str(), static_cast<int>(*pid));
    }
}

std::string replacement_target(const char *path) {
    struct stat st;
    if (::lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char *resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

file_replacement::file_replacement(std::string target, std::string shown,
                                   replacement_failures failures)
    : target_(std::move(target)), shown_(std::move(shown)), failures_(failures),
      // The process id keeps two processes' new files apart.
      temp_(target_ + ".new." + std::to_string(::getpid())) {}

file_replacement::~file_replacement() {
    fd_.reset();
    if (has_name_) ::unlink(temp_.c_str());
    forget_pending_name();
}

status file_replacement::open() {
    // A new file of a process killed beyond catching (SIGKILL, a crash)
    // holds what it was writing: a plain database, an export.
    remove_stale_new_files(target_);
    bool named_only = test_named_temp_only();
    if (!named_only && ::access("/proc/self/fd", X_OK) == 0) {
        fd_.reset(::open(directory_of(target_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                         S_IRUSR | S_IWUSR));
        unnamed_ = fd_.valid();
    }
    if (!unnamed_) {
        // A leftover of a process that had our id and was killed goes first;
        // unlink removes a planted symlink itself, and O_EXCL|O_NOFOLLOW
        // refuses one that appears meanwhile.
        ::unlink(temp_.c_str());
        watch_pending_name(temp_);
        fd_.reset(::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         S_IRUSR | S_IWUSR));
        has_name_ = fd_.valid();
    }
    if (!fd_.valid()) return failed(fault::cannot_create, shown_, errno);
    // The umask may have taken bits away; 0600 exactly is what the owner needs.
    if (::fchmod(fd_.get(), S_IRUSR | S_IWUSR) != 0 && failures_ == replacement_failures::printed)
        say_failuref("WARNING: Error changing permissions of file %s\n", target_.c_str());
    return status_ok();
}

status file_replacement::fails(fault what) const {
    status s = failed(what, shown_, errno);
    if (what == fault::cannot_replace) s.replaced = target_;
    if (what == fault::cannot_name) s.file = target_;
    return s;
}

status file_replacement::write(const unsigned char *data, std::size_t size) {
    // Pieces of a mebibyte: one huge write to a new file is measurably
    // slower here than the same bytes written piece by piece.
    constexpr std::size_t piece = std::size_t(1) << 20;
    std::size_t done = 0;
    while (done < size) {
        ssize_t put = ::write(fd_.get(), data + done, std::min(size - done, piece));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return fails(fault::cannot_write);
        }
        done += static_cast<std::size_t>(put);
    }
    return status_ok();
}

// An unnamed file gets its name through /proc: linkat with AT_EMPTY_PATH
// would need a capability that users lack.
status file_replacement::name_new_file() {
    if (!unnamed_) return status_ok();
    ::unlink(temp_.c_str());
    watch_pending_name(temp_);
    std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp_.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return fails(fault::cannot_replace);
    has_name_ = true;
    return status_ok();
}

status file_replacement::sync_written() {
    test_stop_point("replacement-written");
    if (::fsync(fd_.get()) == 0) return status_ok();
    return fails(fault::cannot_sync);
}

status file_replacement::commit() {
    if (status s = sync_written(); !s) return s;
    if (status s = name_new_file(); !s) return s;
    test_stop_point("replacement-named");
    if (::close(fd_.release()) != 0) return fails(fault::cannot_close);
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return fails(fault::cannot_replace);
    has_name_ = false;
    forget_pending_name();
    test_stop_point("replaced");
    sync_directory_of(target_.c_str());
    return status_ok();
}

status file_replacement::commit_new() {
    if (status s = sync_written(); !s) return s;
    // link, unlike rename, fails when the name is taken.
    std::string from = unnamed_ ? "/proc/self/fd/" + std::to_string(fd_.get()) : temp_;
    if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return fails(errno == EEXIST ? fault::name_taken : fault::cannot_name);
    if (::close(fd_.release()) != 0) {
        status s = fails(fault::cannot_close);
        ::unlink(target_.c_str());
        return s;
    }
    if (has_name_) ::unlink(temp_.c_str());
    has_name_ = false;
    forget_pending_name();
    sync_directory_of(target_.c_str());
    return status_ok();
}
