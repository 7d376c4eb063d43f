#include "sync/merge_passwords.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "state/console.h"

namespace {

const secret_string agent_opened;

}  // namespace

bool is_agent_password(const secret_string *password) { return password == &agent_opened; }

int read_merge_input(merge_input &input, const secret_string *password, db_file_keys *keys) {
    const image_reader reader = records_reader(input);
    int read = 0;
    if (password == &agent_opened) {
        held_key key = agent_key_for(input.file.path);
        if (!key) return 0;
        read = read_db_file_with_key(input.file, *key, reader);
        if (read > 0) input.key = std::move(key);
    } else {
        read = read_db_file(input.file, password != nullptr ? password->c_str() : nullptr,
                            reader, keys);
    }
    if (read > 0) input.password = password;
    return read;
}

bool password_cache::derive_ahead() {
    if (ahead_ == nullptr || known_.empty()) return true;
    const char *first = known_.front()->c_str();
    for (std::size_t i = 0; i < ahead_count_; ++i) keys_.want_for_file(first, ahead_[i].file);
    if (sealed_) keys_.want_fresh(first);
    ahead_ = nullptr;
    return keys_.derive();
}

bool password_cache::take_from(int fd) {
    given_ = true;
    secret_string all;
    wiped_array<4096> chunk;
    for (;;) {
        ssize_t got = ::read(fd, chunk.data, sizeof chunk.data);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            print_errno("--password-fd " + std::to_string(fd));
            return false;
        }
        if (got == 0) break;
        all.append({reinterpret_cast<const char *>(chunk.data), static_cast<std::size_t>(got)});
    }
    ::close(fd);
    std::string_view rest = all.view();
    while (!rest.empty()) {
        std::size_t end = rest.find('\0');
        known_.push_back(std::make_unique<secret_string>(rest.substr(0, end)));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return true;
}

bool password_cache::open_terminal() {
    if (in_) return true;
    // Read and written through descriptors of their own, without stdio
    // buffers: the typed line stays in the caller's wiped buffer only.
    unique_fd fd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        std::fprintf(stderr, "No terminal to ask for the master password: %s.\n",
                     std::strerror(errno));
        return false;
    }
    int second = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
    in_.reset(::fdopen(fd.get(), "r"));
    if (in_) fd.release();
    out_.reset(second >= 0 ? ::fdopen(second, "w") : nullptr);
    if (!in_ || !out_) {
        if (second >= 0 && !out_) ::close(second);
        in_.reset();
        print_errno("/dev/tty");
        return false;
    }
    std::setvbuf(in_.get(), nullptr, _IONBF, 0);
    std::setvbuf(out_.get(), nullptr, _IONBF, 0);
    return true;
}

bool password_cache::ask(const char *prompt) {
    if (!may_ask_) {
        std::fputs("kesp-merge asks for no password while its caller holds the lock; give the "
                   "passwords with --password-fd.\n",
                   stderr);
        return false;
    }
    if (!open_terminal()) return false;
    secret_buffer line;
    secret_status status = read_secret_shown_on(prompt, line.data, sizeof line.data, in_.get(),
                                                out_.get());
    if (status == secret_status::no_terminal) {
        std::fputs("No terminal to ask for the master password: /dev/tty is not one.\n", stderr);
        return false;
    }
    if (status != secret_status::ok) return false;
    known_.push_back(std::make_unique<secret_string>(line.data));
    return true;
}

bool password_cache::open_container(merge_input &input) {
    if (int opened = read_merge_input(input, &agent_opened); opened != 0) return opened > 0;
    if (!given_ && !asked_master_) {
        asked_master_ = true;
        if (!ask("Master password: ")) return false;
    }
    if (!derive_ahead()) return false;
    for (const auto &password : known_) {
        int opened = read_merge_input(input, password.get(), &keys_);
        if (opened != 0) return opened > 0;
    }
    if (given_) {
        std::fprintf(stderr, "None of the passwords given opens %s, %s.\n", input.role,
                     input.file.name.c_str());
        return false;
    }
    std::fprintf(stderr, "The master password does not open %s, %s.\n", input.role,
                 input.file.name.c_str());
    std::string prompt = std::string("Password of ") + input.role + ": ";
    if (!ask(prompt.c_str())) return false;
    int opened = read_merge_input(input, known_.back().get(), &keys_);
    if (opened == 0)
        std::fprintf(stderr, "Invalid password or tampered data: %s cannot be read.\n",
                     input.file.name.c_str());
    return opened > 0;
}

bool same_password(const secret_string *a, const secret_string *b) {
    return a == b || (a != nullptr && b != nullptr && a != &agent_opened && b != &agent_opened &&
                      a->view() == b->view());
}
