#include "vault/agent_link.h"
#include "vault/ssh_keys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "container/crypt.h"
#include "state/files.h"
#include "state/pointer_file.h"

namespace {

constexpr const char *folder_prefix = "kesp-agent.";

void put_u32(unsigned char *out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(v >> (8 * (3 - i)));
}

std::uint32_t get_u32(const unsigned char *in) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | in[i];
    return v;
}

bool read_exactly(int fd, unsigned char *buf, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
        ssize_t got = ::read(fd, buf + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool send_all(int fd, const unsigned char *data, std::size_t n) {
    return write_all(fd, std::string_view(reinterpret_cast<const char *>(data), n));
}

std::string base_name(const std::string &path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string agent_folder_base() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && *runtime != '\0' ? runtime : "/dev/shm";
}

std::string make_agent_folder() {
    const std::string base = agent_folder_base();
    std::string name = base + "/" + folder_prefix + "XXXXXX";
    // mkdtemp makes it 0700 and fails on any name that exists already.
    if (::mkdtemp(name.data()) == nullptr) {
        print_errno("Unable to create a private folder in " + base + "; nothing was unlocked");
        return {};
    }
    return name;
}

std::string folder_of_copy(const std::string &copy) {
    return directory_of(copy);
}

bool is_agent_copy(const std::string &path) {
    return base_name(path) == agent_copy_name &&
           base_name(folder_of_copy(path)).rfind(folder_prefix, 0) == 0;
}

namespace {

// The lines of a small file (at most 8 KiB read).
std::vector<std::string> lines_of(const std::string &path) {
    std::vector<std::string> lines;
    file_ptr in{std::fopen(path.c_str(), "re")};
    if (!in) return lines;
    char text[8192] = {};
    std::size_t got = std::fread(text, 1, sizeof text - 1, in.get());
    std::string all(text, got);
    for (std::size_t at = 0; at < all.size();) {
        std::size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        lines.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::optional<std::string> unlocked_record() {
    return home_file(".kesp.unlocked");
}

}  // namespace

std::string container_of_copy(const std::string &copy) {
    auto lines = lines_of(folder_of_copy(copy) + "/" + agent_container_record);
    if (!lines.empty() && !lines[0].empty()) return lines[0];
    if (auto record = unlocked_record()) {
        lines = lines_of(*record);
        if (lines.size() >= 2 && lines[0] == copy) return lines[1];
    }
    return {};
}

void remember_unlocked(const std::string &copy, const std::string &container) {
    auto file = unlocked_record();
    if (!file) return;
    std::string fresh = *file + ".new";
    ::unlink(fresh.c_str());
    unique_fd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600));
    if (!fd.valid()) return;
    if (!write_all(fd.get(), copy + "\n" + container + "\n") ||
        ::rename(fresh.c_str(), file->c_str()) != 0)
        ::unlink(fresh.c_str());
}

void mark_unsealed(const std::string &copy) {
    std::string marker = folder_of_copy(copy) + "/" + agent_unsealed_marker;
    unique_fd fd(::open(marker.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid()) ::fsync(fd.get());
}

void clear_unsealed(const std::string &copy) {
    ::unlink((folder_of_copy(copy) + "/" + agent_unsealed_marker).c_str());
}

bool holds_unsealed(const std::string &copy) {
    struct stat st;
    return ::lstat((folder_of_copy(copy) + "/" + agent_unsealed_marker).c_str(), &st) == 0 &&
           ::lstat(copy.c_str(), &st) == 0;
}

std::optional<unsigned> peer_uid(int fd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return std::nullopt;
    return static_cast<unsigned>(cred.uid);
}

bool read_agent_message(int fd, unsigned char *head, std::size_t head_size,
                        secret_string &payload) {
    unsigned char length[4];
    if (!read_exactly(fd, head, head_size) || !read_exactly(fd, length, sizeof length))
        return false;
    std::uint32_t n = get_u32(length);
    if (n > agent_max_payload) return false;
    payload.reserve(n);
    wiped_buffer bytes(n);
    if (!read_exactly(fd, bytes.data(), n)) return false;
    payload.assign(std::string_view(reinterpret_cast<const char *>(bytes.data()), n));
    return true;
}

bool write_agent_reply(int fd, bool ok, std::string_view text) {
    if (text.size() > agent_max_payload) text = text.substr(0, agent_max_payload);
    unsigned char head[5];
    head[0] = ok ? '+' : '-';
    put_u32(head + 1, static_cast<std::uint32_t>(text.size()));
    return send_all(fd, head, sizeof head) &&
           send_all(fd, reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

namespace {

// One request and its reply (status byte and text, in wiped memory).
bool exchange(const std::string &copy, agent_verb verb, std::string_view payload, bool *gone,
              unsigned char &status, secret_string &text, unique_fd *keep = nullptr) {
    if (gone) *gone = false;
    std::string socket_path = folder_of_copy(copy) + "/" + agent_socket_name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path || payload.size() > agent_max_payload)
        return false;
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return false;
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (gone) *gone = errno == ECONNREFUSED || errno == ENOENT;
        return false;
    }
    // Whatever listens there must be ours: a password may follow.
    if (peer_uid(fd.get()) != static_cast<unsigned>(::getuid())) return false;

    unsigned char head[agent_header_size + 4];
    std::memcpy(head, agent_magic, sizeof agent_magic);
    head[sizeof agent_magic] = agent_version;
    head[sizeof agent_magic + 1] = static_cast<unsigned char>(verb);
    put_u32(head + agent_header_size, static_cast<std::uint32_t>(payload.size()));
    if (!send_all(fd.get(), head, sizeof head) ||
        !send_all(fd.get(), reinterpret_cast<const unsigned char *>(payload.data()),
                  payload.size()))
        return false;
    // Locking ends the agent; a reply cut short by its end is no answer.
    if (!read_agent_message(fd.get(), &status, 1, text)) return false;
    if (keep) *keep = std::move(fd);
    return true;
}

// The connection that holds the agent while this program runs.
unique_fd holding;

void hold_agent(const std::string &copy) {
    if (holding.valid()) return;
    unsigned char status = 0;
    secret_string text;
    unique_fd fd;
    if (exchange(copy, agent_verb::hold, {}, nullptr, status, text, &fd) && status == '+')
        holding = std::move(fd);
}

}  // namespace

std::optional<agent_reply> ask_agent(const std::string &copy, agent_verb verb,
                                     std::string_view payload, bool *gone) {
    unsigned char status = 0;
    secret_string text;
    if (!exchange(copy, verb, payload, gone, status, text)) return std::nullopt;
    return agent_reply{status == '+', std::string(text.view())};
}

void container_key_deleter::operator()(container_key *key) const {
    delete key;
}

held_key agent_key_for(const std::string &path) {
    auto active = read_active_db_path();
    if (!active || !is_agent_copy(*active)) return nullptr;
    unsigned char status = 0;
    secret_string text;
    held_key key(new container_key);
    const std::size_t size = sizeof key->key.data + sizeof key->salt.data;
    if (!exchange(*active, agent_verb::key, absolute_path(path.c_str()), nullptr, status, text) ||
        status != '+' || text.size() != size)
        return nullptr;
    std::memcpy(key->key.data, text.c_str(), sizeof key->key.data);
    std::memcpy(key->salt.data, text.c_str() + sizeof key->key.data, sizeof key->salt.data);
    return key;
}

bool agent_opens(const std::string &path) {
    return agent_key_for(path) != nullptr;
}

bool give_agent_new_password(const char *password, std::string &notice) {
    auto active = read_active_db_path();
    if (!active || !is_agent_copy(*active)) return false;
    unsigned char status = 0;
    secret_string text;
    if (!exchange(*active, agent_verb::password, password, nullptr, status, text) ||
        status != '+')
        return false;
    notice.assign(text.view());
    return true;
}

void say_agent_notice(const std::string &text) {
    if (!text.empty()) std::fprintf(stderr, "%s\n", text.c_str());
}

bool wipe_file(const std::string &path) {
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return false;
    struct stat st;
    bool ok = ::fstat(fd.get(), &st) == 0;
    if (ok && S_ISREG(st.st_mode)) {
        static const unsigned char zeros[65536] = {};
        for (off_t done = 0; ok && done < st.st_size;) {
            std::size_t n = static_cast<std::size_t>(
                std::min<off_t>(st.st_size - done, static_cast<off_t>(sizeof zeros)));
            ssize_t put = ::pwrite(fd.get(), zeros, n, done);
            if (put < 0 && errno == EINTR) continue;
            ok = put > 0;
            done += put > 0 ? put : 0;
        }
        ok = ::fsync(fd.get()) == 0 && ok;
    }
    return ::unlink(path.c_str()) == 0 && ok;
}

void wipe_agent_copy(const std::string &copy) {
    const std::string folder = folder_of_copy(copy);
    wipe_file(copy);
    for (const char *side : {"-journal", "-wal", "-shm"}) wipe_file(copy + side);
    // After the wipe: an ssh-agent slow to answer keeps nothing secret here.
    remove_recorded_ssh_keys(copy);
    // The pointer file may name another database by now: that one stays.
    auto active = read_active_db_path();
    if (active && *active == copy) remove_active_db_path();
    if (auto record = unlocked_record()) {
        auto lines = lines_of(*record);
        if (!lines.empty() && lines[0] == copy) ::unlink(record->c_str());
    }
    for (const char *name :
         {agent_socket_name, agent_container_record, "messages", agent_unsealed_marker})
        ::unlink((folder + "/" + name).c_str());
    ::rmdir(folder.c_str());
}

namespace {

bool kept_copy_allowed = false;

void say_kept(const std::string &container, const std::string &copy) {
    std::fprintf(stderr,
                 "The agent that held %s has ended before every change was written to %s; the "
                 "changes are kept in %s: kesp -E writes them to %s.\n",
                 container.c_str(), container.c_str(), copy.c_str(), container.c_str());
}

}  // namespace

void allow_kept_copy() {
    kept_copy_allowed = true;
}

bool note_agent_use(const std::string &path) {
    if (!is_agent_copy(path)) return true;
    bool gone = false;
    if (auto reply = ask_agent(path, agent_verb::use, {}, &gone)) {
        if (reply->ok) say_agent_notice(reply->text);
        hold_agent(path);
        return true;
    }
    if (!gone) return true;
    std::string container = container_of_copy(path);
    if (container.empty()) container = path;
    if (holds_unsealed(path)) {
        // What only this copy holds is never wiped: it stays active until
        // kesp -E writes it to its container.
        if (kept_copy_allowed) return true;
        say_kept(container, path);
        return false;
    }
    wipe_agent_copy(path);
    std::fprintf(stderr,
                 "The agent that held %s has ended; every change is in %s. Unlock it again "
                 "with kesp-agent unlock %s.\n",
                 container.c_str(), container.c_str(), container.c_str());
    return false;
}

void seal_agent_copy() {
    auto active = read_active_db_path();
    if (!active || !is_agent_copy(*active)) return;
    bool gone = false;
    auto reply = ask_agent(*active, agent_verb::seal, {}, &gone);
    if (reply && reply->ok) {
        say_agent_notice(reply->text);
        return;
    }
    std::string container = container_of_copy(*active);
    // The change may be in the copy alone: should its agent have ended,
    // the copy is kept, never wiped.
    if (!reply) mark_unsealed(*active);
    if (gone) {
        if (!kept_copy_allowed) say_kept(container.empty() ? *active : container, *active);
        return;
    }
    std::fprintf(stderr,
                 "WARNING: the change is only in memory: %s; it is written to %s as soon as it "
                 "can be.\n",
                 reply ? reply->text.c_str() : "the agent does not answer",
                 container.empty() ? active->c_str() : container.c_str());
}

namespace {

// The bytes of the file at `path`, in wiped memory; nothing after a message.
std::unique_ptr<wiped_buffer> read_whole(const std::string &path) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        print_errno("Unable to read " + path);
        return nullptr;
    }
    auto bytes = std::make_unique<wiped_buffer>(static_cast<std::size_t>(st.st_size));
    for (std::size_t done = 0; done < bytes->size();) {
        ssize_t got = ::read(fd.get(), bytes->data() + done, bytes->size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            print_errno("Unable to read " + path);
            return nullptr;
        }
        done += static_cast<std::size_t>(got);
    }
    return bytes;
}

// A copy kept after its agent ended, sealed under `password`.
bool seal_kept_copy(const std::string &copy, const std::string &container,
                    const char *password) {
    if (container.empty()) {
        std::fprintf(stderr, "Encryption of %s failed: the container it came from is unknown.\n",
                     copy.c_str());
        return false;
    }
    auto bytes = read_whole(copy);
    if (!bytes || !printed_ok(encrypt_to_file(password, bytes->data(), bytes->size(),
                                              container.c_str(), false))) {
        std::fprintf(stderr, "Encryption of %s failed.\n", container.c_str());
        return false;
    }
    wipe_agent_copy(copy);
    remember_last_db(container);
    std::printf("The changes kept in %s are written to %s.\n", copy.c_str(), container.c_str());
    return true;
}

}  // namespace

bool encrypt_agent_copy(const std::string &copy, const char *password) {
    std::string container = container_of_copy(copy);
    bool gone = false;
    auto reply = ask_agent(copy, agent_verb::encrypt, password, &gone);
    if (!reply && gone && holds_unsealed(copy)) return seal_kept_copy(copy, container, password);
    if (!reply || !reply->ok) {
        std::fprintf(stderr, "Encryption of %s failed: %s.\n",
                     container.empty() ? copy.c_str() : container.c_str(),
                     reply ? reply->text.c_str() : "the agent does not answer");
        return false;
    }
    remember_last_db(container);
    const std::size_t end = reply->text.find('\n');
    if (end != std::string::npos) say_agent_notice(reply->text.substr(end + 1));
    if (reply->text.compare(0, end, "changed") == 0)
        std::printf("The master password of %s is now the one just typed.\n", container.c_str());
    return true;
}

void remember_last_db(const std::string &container) {
    auto file = home_file(".kesp.last_db");
    if (!file || container.empty()) return;
    std::string fresh = *file + ".new";
    ::unlink(fresh.c_str());
    unique_fd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600));
    if (!fd.valid()) return;
    if (!write_all(fd.get(), container) || ::fsync(fd.get()) != 0 ||
        ::rename(fresh.c_str(), file->c_str()) != 0)
        ::unlink(fresh.c_str());
}

std::optional<std::string> last_db() {
    auto file = home_file(".kesp.last_db");
    if (!file) return std::nullopt;
    file_ptr in{std::fopen(file->c_str(), "re")};
    if (!in) return std::nullopt;
    char line[4096] = {};
    if (std::fgets(line, sizeof line, in.get()) == nullptr || line[0] == '\0')
        return std::nullopt;
    return std::string(line);
}

void remember_agent_lock(const std::string &container, const std::string &why) {
    auto file = home_file(".kesp.agent_locked");
    if (!file || container.empty()) return;
    std::string fresh = *file + ".new";
    ::unlink(fresh.c_str());
    unique_fd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600));
    if (!fd.valid()) return;
    if (!write_all(fd.get(), container + "\n" + why + "\n") ||
        ::rename(fresh.c_str(), file->c_str()) != 0)
        ::unlink(fresh.c_str());
}

void say_agent_locked() {
    auto file = home_file(".kesp.agent_locked");
    if (!file) return;
    auto lines = lines_of(*file);
    if (lines.size() < 2 || lines[0].empty()) return;
    ::unlink(file->c_str());
    std::fprintf(stderr, "kesp-agent locked %s %s; kesp-agent unlock opens it again.\n",
                 lines[0].c_str(), lines[1].c_str());
}
