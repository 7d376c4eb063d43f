// kesp-merge: the three-way merge of two copies of a kesp database against
// their common ancestor, by hand or as git's merge driver (%O %A %B). The
// result replaces OURS in the form OURS has, or goes to a new file.
//
// Passwords are asked first, on the terminal (/dev/tty, never standard
// input, which a merge tool may have connected to anything), or read from
// a descriptor the caller hands down. Then OURS is read, merged and
// replaced under the lock, which is never held while a person is asked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "companions/companion.h"
#include "memory/secret.h"
#include "merge/image_sources.h"
#include "merge/merge.h"
#include "merge/versions.h"
#include "state/console.h"
#include "state/files.h"
#include "state/numbers.h"
#include "state/test_hooks.h"
#include "vault/agent_link.h"
#include "vault/db_file.h"
#include "vault/lock.h"
#include "vault/program.h"

namespace {

enum long_only { password_fd_option = 256, lock_fd_option, name_option, moved_fd_option };

const option long_options[] = {
    {"output", required_argument, nullptr, 'o'},
    {"password-fd", required_argument, nullptr, password_fd_option},
    {"lock-fd", required_argument, nullptr, lock_fd_option},
    {"name", required_argument, nullptr, name_option},
    {"moved-fd", required_argument, nullptr, moved_fd_option},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-merge BASE OURS THEIRS [-o OUT]\n"
    "       kesp-merge --password-fd N [--lock-fd N] [--name NAME] [--moved-fd N]\n"
    "                  BASE OURS THEIRS\n"
    "Merges the kesp databases OURS and THEIRS, two copies of BASE (an empty\n"
    "file when they have none in common), and writes the result over OURS, or\n"
    "to the new file OUT. As git's merge driver: kesp-merge %O %A %B.\n"
    "See kesp-merge(1).\n",
    "o:h", long_options};

// A copy to merge: what it holds (its entries sharing the texts the
// ancestor's hold alike) and how it was opened.
struct merge_input : image_records {
    db_file file;
    const char *role;  // "the common ancestor", "this copy", "the other copy"
    const secret_string *password = nullptr;  // the one that opened a container
    held_key key;                             // the agent's key, when it opened it
};

// Stands for the master password of the agent that holds the active
// database: the agent opens a container and hands out its key, never the
// password.
const secret_string agent_opened;

// 1 read, 0 not this password, -1 failed (after a message).
int read_input(merge_input &input, const secret_string *password, db_file_keys *keys = nullptr) {
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

// The passwords tried on every container: first the agent's, when an agent
// holds the active database, then the others in the order they came: typed
// on the terminal (the master password asked once, when the first
// container the agent does not open needs it, as "Master password: "), or
// all given at once by the caller.
class password_cache {
public:
    password_cache() = default;
    password_cache(const password_cache &) = delete;
    password_cache &operator=(const password_cache &) = delete;

    // Takes every password from `fd` (each ended by a NUL byte, until end
    // of file) and never asks. False after a message.
    bool take_from(int fd);
    // Asks nothing: a caller that holds the lock must give the passwords.
    void never_ask() { may_ask_ = false; }
    // The copies to open, and whether the result is sealed: once the first
    // password is known, its keys for all of them are derived side by side.
    void derive_ahead_for(const merge_input *inputs, std::size_t count, bool sealed) {
        ahead_ = inputs;
        ahead_count_ = count;
        sealed_ = sealed;
    }
    db_file_keys &keys() { return keys_; }

    // Reads the container of `input` with the first password that opens
    // it; on the terminal, when none does, names it and asks for its own
    // password once. False after a message: no terminal, a wrong password,
    // a damaged file.
    bool open_container(merge_input &input);

private:
    bool open_terminal();
    bool ask(const char *prompt);
    bool derive_ahead();

    file_ptr in_, out_;
    bool given_ = false, may_ask_ = true, asked_master_ = false;
    std::vector<std::unique_ptr<secret_string>> known_;  // stable addresses
    db_file_keys keys_;
    const merge_input *ahead_ = nullptr;
    std::size_t ahead_count_ = 0;
    bool sealed_ = false;
};

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
    if (int opened = read_input(input, &agent_opened); opened != 0) return opened > 0;
    if (!given_ && !asked_master_) {
        asked_master_ = true;
        if (!ask("Master password: ")) return false;
    }
    if (!derive_ahead()) return false;
    for (const auto &password : known_) {
        int opened = read_input(input, password.get(), &keys_);
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
    int opened = read_input(input, known_.back().get(), &keys_);
    if (opened == 0)
        std::fprintf(stderr, "Invalid password or tampered data: %s cannot be read.\n",
                     input.file.name.c_str());
    return opened > 0;
}

void say_exists(const std::string &path) {
    std::fprintf(stderr, "%s already exists; kesp-merge never overwrites a file.\n", path.c_str());
}

bool write_merged(const record_list &merged, const version_list *versions, db_form form,
                  const secret_string *password, const container_key *key,
                  const std::string &path, bool create_new, db_file_keys &keys) {
    record_source source{merged.records()};
    // A row takes its texts and some forty bytes in a page that SQLite
    // fills to about three quarters.
    std::size_t expected = 64 << 10;
    for (const record &r : merged.records()) {
        expected += 48 + r.ends[record_fields];
    }
    if (versions != nullptr)
        for (const kept_version &v : *versions) {
            expected += 64 + v.timestamp.size();
            for (const secret_string &text : v.field) expected += text.size();
        }
    errno = 0;
    std::optional<version_source> kept;
    if (versions != nullptr) kept.emplace(version_source{*versions});
    bool written =
        key != nullptr
            ? write_db_file_with_key(record_source::take, &source, expected + expected / 3, *key,
                                     path, create_new, kept ? version_source::take : nullptr,
                                     kept ? &*kept : nullptr)
            : write_db_file(record_source::take, &source, expected + expected / 3, form,
                            password != nullptr ? password->c_str() : nullptr, path, create_new,
                            kept ? version_source::take : nullptr, kept ? &*kept : nullptr,
                            &keys);
    if (!written && create_new && errno == EEXIST) say_exists(path);
    return written;
}

bool same_password(const secret_string *a, const secret_string *b) {
    return a == b || (a != nullptr && b != nullptr && a != &agent_opened && b != &agent_opened &&
                      a->view() == b->view());
}

// A container copy whose password differs from the ancestor's had it
// changed on purpose: the merged copy is sealed under the new one. When
// both copies changed it differently, this copy's stays. What the person
// must know is said in `notice`.
const secret_string *sealing_password(const merge_input &base, const merge_input &ours,
                                      const merge_input &theirs, std::string &notice) {
    if (base.file.empty || base.password == nullptr) return ours.password;
    const bool ours_changed = !same_password(ours.password, base.password);
    const bool theirs_changed = !same_password(theirs.password, base.password);
    if (!theirs_changed || same_password(ours.password, theirs.password)) return ours.password;
    if (!ours_changed) {
        notice = "The master password of " + ours.file.name +
                 " was changed on the other copy; use the new one.\n";
        return theirs.password;
    }
    notice = "The master password of " + ours.file.name +
             " was changed on both copies; this copy's stays, and the other copy's new one "
             "does not open the merged copy.\n";
    return ours.password;
}

// What kesp-merge was told on its command line.
struct merge_options {
    std::optional<std::string> output, name;
    std::optional<int> password_fd, lock_fd, moved_fd;
};

std::optional<int> descriptor_argument(const char *option, const char *argument) {
    std::optional<int> fd = parse_whole_number(argument, 0, 999999);
    if (!fd || ::fcntl(*fd, F_GETFD) < 0) {
        std::fprintf(stderr, "kesp-merge: %s %s: not an open descriptor.\n", option, argument);
        return std::nullopt;
    }
    return fd;
}

// The other copy's entries that got new ids, "THEIR_ID OUR_ID\n" each, for
// the caller that asked with --moved-fd: ids only, never a text.
bool report_moves(int fd, const std::vector<std::pair<std::int64_t, std::int64_t>> &moved) {
    std::string lines;
    for (const auto &[from, to] : moved)
        lines += std::to_string(from) + " " + std::to_string(to) + "\n";
    if (write_all(fd, lines)) return true;
    print_errno("--moved-fd " + std::to_string(fd));
    return false;
}

int cannot_merge(const std::string &ours) {
    std::fprintf(stderr, "Nothing was merged; %s is unchanged.\n", ours.c_str());
    return exit_failure;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    merge_options options;
    auto done = read_options(program, argc, argv, [&](int option, const char *argument) {
        switch (option) {
        case 'o':
            options.output = argument;
            return true;
        case name_option:
            options.name = argument;
            return true;
        case moved_fd_option:
            options.moved_fd = descriptor_argument("--moved-fd", argument);
            return options.moved_fd.has_value();
        case password_fd_option:
            options.password_fd = descriptor_argument("--password-fd", argument);
            return options.password_fd.has_value();
        default:
            options.lock_fd = descriptor_argument("--lock-fd", argument);
            return options.lock_fd.has_value();
        }
    });
    if (done) return *done;
    if (argc - optind != 3) return bad_usage(program);

    merge_input inputs[3];
    merge_input &base = inputs[0], &ours = inputs[1], &theirs = inputs[2];
    const char *roles[3] = {"the common ancestor", "this copy", "the other copy"};
    for (int i = 0; i < 3; ++i) inputs[i].role = roles[i];
    // The ancestor is read first; what the copies left of it is held once.
    ours.ancestor = theirs.ancestor = &base.entries;
    const std::string ours_name = options.name.value_or(argv[optind + 1]);

    // The caller's passwords are taken at once, so that it never waits
    // on a full pipe.
    password_cache passwords;
    if (options.password_fd && !passwords.take_from(*options.password_fd))
        return cannot_merge(ours_name);
    std::optional<user_lock> inherited;
    if (options.lock_fd) {
        inherited = inherited_user_lock(*options.lock_fd, "--lock-fd");
        if (!inherited) return cannot_merge(ours_name);
        passwords.never_ask();
    }
    struct stat st;
    if (options.output && ::lstat(options.output->c_str(), &st) == 0) {
        say_exists(*options.output);
        return exit_failure;
    }

    for (int i = 0; i < 3; ++i) {
        const std::string path = argv[optind + i];
        auto file = examine_db_file(path, &inputs[i] == &ours ? ours_name : path, i == 0);
        if (!file) return cannot_merge(ours_name);
        inputs[i].file = std::move(*file);
    }
    // An encrypted database takes nothing it cannot authenticate.
    if (ours.file.form == db_form::container) {
        for (const merge_input *input : {&base, &theirs}) {
            if (input->file.empty || input->file.form == db_form::container) continue;
            std::fprintf(stderr,
                         "%s is not encrypted; an encrypted database is merged only with "
                         "encrypted copies.\n",
                         input == &base ? "BASE" : "THEIRS");
            return cannot_merge(ours_name);
        }
    }

    // The copies that are not replaced are read once, a container after
    // its password was found.
    passwords.derive_ahead_for(inputs, 3, ours.file.form == db_form::container);
    for (merge_input *input : {&base, &theirs}) {
        bool read = input->file.form == db_form::container ? passwords.open_container(*input)
                                                           : read_input(*input, nullptr) > 0;
        if (!read) return cannot_merge(ours_name);
    }

    // OURS: its password first, then the lock from the read to the rename.
    // When the file changed meanwhile, it is read again under the lock;
    // should its password no longer open it, everything starts again.
    std::optional<user_lock> lock;
    for (int attempt = 0;; ++attempt) {
        std::optional<db_file_digest> seen;
        if (ours.file.form == db_form::container) {
            seen = digest_db_file(ours.file.path);
            if (!seen || !passwords.open_container(ours)) return cannot_merge(ours_name);
        }
        test_stop_point("before-lock");
        if (!inherited) {
            lock = take_user_lock(lock_kind::exclusive);
            if (!lock) return cannot_merge(ours_name);
        }
        auto now = examine_db_file(ours.file.path, ours_name, false);
        if (!now) return cannot_merge(ours_name);
        if (now->form != ours.file.form) {
            std::fprintf(stderr, "%s was %s while kesp-merge waited.\n", ours_name.c_str(),
                         now->form == db_form::container ? "encrypted" : "decrypted");
            return cannot_merge(ours_name);
        }
        if (now->form == db_form::plain) {
            if (read_input(ours, nullptr) <= 0) return cannot_merge(ours_name);
            break;
        }
        auto digest = digest_db_file(ours.file.path);
        if (!digest) return cannot_merge(ours_name);
        if (*digest == *seen) break;
        int read = read_input(ours, ours.password, &passwords.keys());
        if (read < 0) return cannot_merge(ours_name);
        if (read > 0) break;
        lock.reset();
        if (inherited || attempt == 2) {
            std::fprintf(stderr, "%s changed while kesp-merge waited, and its password with it.\n",
                         ours_name.c_str());
            return cannot_merge(ours_name);
        }
        std::fprintf(stderr, "%s changed while kesp-merge waited; reading it again.\n",
                     ours_name.c_str());
    }

    copies_merged m = merge_copies(base, ours, theirs);
    merge_outcome &merged = m.outcome;
    const bool record = m.record;  // the record goes on once any copy holds it
    const version_list &versions = m.versions;
    std::string notice;
    const secret_string *seal = ours.file.form == db_form::container
                                    ? sealing_password(base, ours, theirs, notice)
                                    : nullptr;
    const bool unchanged = same_records(merged.merged, ours.entries) &&
                           same_password(seal, ours.password) && record == ours.record &&
                           same_versions(versions, ours.versions);
    // Under the agent's password, the key of the copy it opened (its salt).
    const container_key *seal_key = seal != &agent_opened ? nullptr
                                    : ours.password == seal ? ours.key.get()
                                                            : theirs.key.get();
    if ((options.output || !unchanged) &&
        !write_merged(merged.merged, record ? &versions : nullptr, ours.file.form, seal, seal_key,
                      options.output.value_or(ours.file.path), options.output.has_value(),
                      passwords.keys()))
        return cannot_merge(ours_name);
    lock.reset();
    // The merged copy stands: a report that cannot be written is said, but
    // undoes nothing.
    if (options.moved_fd) report_moves(*options.moved_fd, merged.moved_theirs);
    std::fputs(describe_merge(merged.report).c_str(), stderr);
    std::fputs(notice.c_str(), stderr);
    return exit_ok;
}
