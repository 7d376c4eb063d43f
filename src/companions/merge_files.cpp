#include "companions/merge_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "container/container.h"
#include "container/crypt.h"
#include "state/console.h"
#include "state/replacement.h"
#include "store/image.h"

namespace {

bool read_entries(wiped_buffer &bytes, merge_input &input) {
    const image_reader reader{
        &input.entries,
        [](void *list, std::size_t rows) { static_cast<record_list *>(list)->reserve(rows); },
        [](void *list, const image_row &row) {
            static_cast<record_list *>(list)->add(
                row.id, {row.title, row.user, row.url, row.password, row.notes}, row.timestamp);
            return true;
        }};
    return db_image_visit(bytes.data(), bytes.size(), input.path.c_str(), reader);
}

// The merged records one by one, as the store takes them.
struct record_source {
    const record_list::records_type &records;
    std::size_t next = 0;

    static bool take(void *context, image_row &row) {
        auto *self = static_cast<record_source *>(context);
        if (self->next == self->records.size()) return false;
        const record &r = self->records[self->next++];
        row = {r.id, r.field[title_field], r.field[user_field], r.field[url_field],
               r.field[password_field], r.field[notes_field], r.timestamp};
        return true;
    }
};

// The whole regular file at `path` in wiped memory.
std::unique_ptr<wiped_buffer> read_whole_file(const std::string &path) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        print_errno(path);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s is not a regular file.\n", path.c_str());
        return nullptr;
    }
    auto bytes = std::make_unique<wiped_buffer>(static_cast<std::size_t>(st.st_size));
    hint_huge_pages(bytes->data(), bytes->size());
    std::size_t done = 0;
    while (done < bytes->size()) {
        ssize_t got = ::read(fd.get(), bytes->data() + done, bytes->size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) std::fprintf(stderr, "%s changed while it was read.\n", path.c_str());
            else print_errno(path);
            return nullptr;
        }
        done += static_cast<std::size_t>(got);
    }
    return bytes;
}

// The file a path names, through a final symbolic link: the link stays a
// link, and the new file belongs beside the one it replaces.
std::string replacement_target(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

void say_exists(const std::string &path) {
    std::fprintf(stderr, "%s already exists; kesp-merge never overwrites a file.\n", path.c_str());
}

}  // namespace

bool examine_input(merge_input &input) {
    struct stat st;
    if (::stat(input.path.c_str(), &st) != 0) {
        print_errno(input.path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s is not a regular file.\n", input.path.c_str());
        return false;
    }
    if (st.st_size == 0 && input.may_be_empty) {
        input.empty = true;
        return true;
    }
    auto magic = container_magic_at(input.path.c_str());
    if (!magic) {
        print_errno(input.path);
        return false;
    }
    input.form = *magic ? db_form::container : db_form::plain;
    if (input.form == db_form::plain) {
        std::string side = db_side_file(input.path.c_str());
        if (!side.empty()) {
            std::fprintf(stderr,
                         "%s exists: another program has %s open, or that file holds changes of "
                         "its own. Close it and try again.\n",
                         side.c_str(), input.path.c_str());
            return false;
        }
    }
    return true;
}

bool read_plain_input(merge_input &input) {
    if (input.empty) return true;
    auto bytes = read_whole_file(input.path);
    return bytes && read_entries(*bytes, input);
}

bool terminal_passwords::open_terminal() {
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

bool terminal_passwords::ask(const char *prompt) {
    if (!open_terminal()) return false;
    secret_buffer line;
    secret_status status = read_secret_shown_on(prompt, line.data, sizeof line.data, in_.get(),
                                                out_.get());
    if (status == secret_status::no_terminal) {
        std::fputs("No terminal to ask for the master password: /dev/tty is not one.\n", stderr);
        return false;
    }
    if (status != secret_status::ok) return false;
    typed_.push_back(std::make_unique<secret_string>(line.data));
    return true;
}

int terminal_passwords::try_password(merge_input &input, const secret_string &password) {
    decrypted plain = decrypt_to_memory(password.c_str(), input.path.c_str());
    if (plain.status == decrypt_status::wrong_password) return 0;
    if (plain.status != decrypt_status::ok || !read_entries(*plain.plain, input)) return -1;
    input.password = &password;
    return 1;
}

bool terminal_passwords::open_container(merge_input &input) {
    if (!asked_master_) {
        asked_master_ = true;
        if (!ask("Master password: ")) return false;
    }
    for (const auto &password : typed_) {
        int opened = try_password(input, *password);
        if (opened != 0) return opened > 0;
    }
    std::fprintf(stderr, "The master password does not open %s, %s.\n", input.role,
                 input.path.c_str());
    std::string prompt = std::string("Password of ") + input.role + ": ";
    if (!ask(prompt.c_str())) return false;
    int opened = try_password(input, *typed_.back());
    if (opened == 0)
        std::fprintf(stderr, "Invalid password or tampered data: %s cannot be read.\n",
                     input.path.c_str());
    return opened > 0;
}

bool write_merged(const record_list &merged, db_form form, const secret_string *password,
                  const std::string &path, bool create_new) {
    struct stat st;
    if (create_new && ::lstat(path.c_str(), &st) == 0) {
        say_exists(path);
        return false;
    }
    record_source source{merged.records()};
    // A row takes its texts and some forty bytes in a page that SQLite
    // fills to about three quarters.
    std::size_t expected = 64 << 10;
    for (const record &r : merged.records()) {
        expected += 48 + r.timestamp.size();
        for (std::string_view text : r.field) expected += text.size();
    }
    std::unique_ptr<built_image> bytes =
        db_image_build(record_source::take, &source, expected + expected / 3);
    if (!bytes) return false;

    bool written;
    if (form == db_form::container) {
        written = encrypt_to_file(password->c_str(), bytes->data(), bytes->size(), path.c_str(),
                                  create_new);
    } else {
        std::string target = create_new ? path : replacement_target(path);
        file_replacement out(target, create_new ? target : target + ".merged");
        written = out.open() && out.write(bytes->data(), bytes->size()) &&
                  (create_new ? out.commit_new() : out.commit());
    }
    if (!written && create_new && errno == EEXIST) say_exists(path);
    return written;
}
