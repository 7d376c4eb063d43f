#include "vault/late_change.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <vector>

#include "container/crypt.h"
#include "memory/secret.h"
#include "state/console.h"
#include "state/files.h"
#include "state/pointer_file.h"
#include "state/test_hooks.h"
#include "store/db.h"
#include "vault/agent_link.h"
#include "vault/detect.h"
#include "vault/session.h"

namespace {

bool in_ram(const std::string &folder) {
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) != 0) return false;
    const auto type = static_cast<unsigned long>(fs.f_type);
    return type == TMPFS_MAGIC || type == RAMFS_MAGIC;
}

// A new private folder on the RAM filesystem; empty after a message.
std::string ram_folder() {
    const std::string base = agent_folder_base();
    if (!in_ram(base)) {
        std::fprintf(stderr, "%s is not a RAM filesystem (tmpfs or ramfs).\n", base.c_str());
        return {};
    }
    return make_agent_folder();
}

bool write_new(const std::string &path, std::string_view bytes) {
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() || !write_all(fd.get(), bytes)) {
        print_errno("Unable to write " + path);
        return false;
    }
    return true;
}

std::unique_ptr<wiped_buffer> read_bytes(const std::string &path) {
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

// The master password, read from the terminal itself: standard input may
// be a pipe that typed the entry.
bool ask_master_password(secret_buffer &password) {
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fputs("No terminal to ask the master password on.\n", stderr);
        return false;
    }
    file_ptr tty{::fdopen(fd, "r+")};
    if (!tty) {
        ::close(fd);
        print_errno("/dev/tty");
        return false;
    }
    std::setvbuf(tty.get(), nullptr, _IONBF, 0);
    switch (read_secret_shown_on("Master password: ", password.data, sizeof password.data,
                                 tty.get(), tty.get())) {
    case secret_status::ok: return true;
    case secret_status::end_of_input: std::fputs("Input ended.\n", stderr); return false;
    case secret_status::no_terminal:
        std::fputs("No terminal to ask the master password on.\n", stderr);
        return false;
    case secret_status::too_long: return false;
    }
    return false;
}

// The database where the container's entries are now, when it is active:
// a copy unlocked again whose agent answers, or the container itself,
// decrypted in place.
std::optional<std::string> live_database_of(const std::string &container) {
    auto active = read_active_db_path();
    if (!active) return std::nullopt;
    if (is_agent_copy(*active)) {
        if (container_of_copy(*active) != container || !note_agent_use(*active))
            return std::nullopt;
        return active;
    }
    if (absolute_path(active->c_str()) == container &&
        encrypted_db_at(active->c_str()) == std::optional<bool>(false))
        return active;
    return std::nullopt;
}

// ~/.kesp.typed: "FILE\nCONTAINER\n" for each file of typing kept.
std::optional<std::string> typed_record() {
    return home_file(".kesp.typed");
}

std::vector<std::string> record_lines() {
    std::vector<std::string> lines;
    auto record = typed_record();
    if (!record) return lines;
    file_ptr in{std::fopen(record->c_str(), "re")};
    if (!in) return lines;
    char line[4096];
    while (std::fgets(line, sizeof line, in.get()) != nullptr) {
        std::string l(line);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

void write_record(const std::vector<std::string> &lines) {
    auto record = typed_record();
    if (!record) return;
    if (lines.empty()) {
        ::unlink(record->c_str());
        return;
    }
    std::string text;
    for (const std::string &l : lines) text += l + "\n";
    std::string fresh = *record + ".new";
    ::unlink(fresh.c_str());
    unique_fd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600));
    if (!fd.valid() || !write_all(fd.get(), text) || ::rename(fresh.c_str(), record->c_str()) != 0)
        ::unlink(fresh.c_str());
}

constexpr const char *typed_update_name = "typed-update.json";

void say_kept_file(const std::string &file, const std::string &container) {
    const bool update = file.size() > std::strlen(typed_update_name) &&
                        file.substr(file.rfind('/') + 1) == typed_update_name;
    std::fprintf(stderr,
                 "What you typed while %s was locked is kept in %s: kesp-import %s%s adds it once "
                 "%s is unlocked again; remove %s then.\n",
                 container.c_str(), file.c_str(), update ? "--update " : "", file.c_str(),
                 container.c_str(), file.c_str());
}

// One field as kesp-export writes it: quoted, quotes doubled.
void put_csv_field(secret_string &out, const char *text, bool last) {
    out += '"';
    for (const char *c = text_or_empty(text); *c != '\0'; ++c) {
        if (*c == '"') out += '"';
        out += *c;
    }
    out += '"';
    out += last ? "\r\n" : ",";
}

// What was typed, kept in a file of its own on the RAM filesystem.
late_outcome keep_typed(const typed_work &work, const std::string &container) {
    const std::string folder = ram_folder();
    secret_string bytes;
    const std::string file = folder + "/" + work.file_name;
    if (folder.empty() || !work.kept_bytes(bytes) || !write_new(file, bytes.view())) {
        if (!folder.empty()) ::rmdir(folder.c_str());
        std::fputs("What you typed could not be kept; nothing was changed.\n", stderr);
        return late_outcome::refused;
    }
    // Under the user lock its callers hold alone.
    auto lines = record_lines();
    lines.push_back(file);
    lines.push_back(container);
    write_record(lines);
    say_kept_file(file, container);
    return late_outcome::kept;
}

// The container opened with `password` into a private folder on the RAM
// filesystem, the change made there and sealed; under the lock alone.
late_outcome write_into_container(const std::string &container, const char *password,
                                  const typed_work &work) {
    container_key key;
    decrypted d = decrypt_to_memory_keeping_key(password, container.c_str(), key);
    print_status(d.why);  // the wrong password too, in those words
    if (d.status != decrypt_status::ok) return keep_typed(work, container);
    const std::string folder = ram_folder();
    if (folder.empty()) return keep_typed(work, container);
    const std::string copy = folder + "/" + agent_copy_name;
    if (!write_new(copy, {reinterpret_cast<const char *>(d.plain->data()), d.plain->size()}) ||
        !write_new(folder + "/" + agent_container_record, container)) {
        wipe_agent_copy(copy);
        return keep_typed(work, container);
    }
    d.plain.reset();
    const late_outcome made = test_fail_point("typed-store") ? late_outcome::store_failed
                                                             : work.make(db_handle_for(copy.c_str()));
    if (made != late_outcome::written) {
        wipe_agent_copy(copy);
        // A store that failed on the copy has taken none of it: what was
        // typed is kept as when no copy could be made.
        return made == late_outcome::store_failed ? keep_typed(work, container) : made;
    }
    auto bytes = read_bytes(copy);
    if (bytes && printed_ok(seal_with_key(key, bytes->data(), bytes->size(), container.c_str()))) {
        wipe_agent_copy(copy);
        std::printf("The change is written to %s.\n", container.c_str());
        return late_outcome::written;
    }
    // The whole database with the change is here: kept as the copy of an
    // agent that ended with unsealed changes, which kesp -E writes.
    if (bytes && !has_active_db() && write_active_db_path(copy.c_str())) {
        mark_unsealed(copy);
        remember_unlocked(copy, container);
        std::fprintf(stderr,
                     "%s could not be written; the change is kept in %s: kesp -E writes it to "
                     "%s.\n",
                     container.c_str(), copy.c_str(), container.c_str());
        return late_outcome::kept;
    }
    wipe_agent_copy(copy);
    return keep_typed(work, container);
}

}  // namespace

bool agent_let_go(const active_db &before) {
    struct stat st;
    return is_agent_copy(before.path) && !before.container.empty() &&
           ::lstat(before.path.c_str(), &st) != 0 && errno == ENOENT;
}

late_outcome apply_typed_change(const char *path, const typed_change &change) {
    if (change.seen == nullptr) {
        if (db_insert_entry(path, &change.changed)) return late_outcome::written;
        std::fputs("Failed to add a new entry.\n", stderr);
        return late_outcome::store_failed;
    }
    if (!entry_unchanged(path, *change.seen)) return late_outcome::refused;
    return db_update_entry(path, change.seen->id, &change.changed) ? late_outcome::written
                                                                    : late_outcome::store_failed;
}

typed_work typed_entry_work(const typed_change &change) {
    return {[&change](const db_handle &db) { return apply_typed_change(db.name(), change); },
            [&change](secret_string &csv) {
                const entry &e = change.changed;
                for (const char *name : {"title", "username", "url", "password", "notes"})
                    put_csv_field(csv, name, false);
                put_csv_field(csv, "modified", true);
                put_csv_field(csv, e.title, false);
                put_csv_field(csv, e.user, false);
                put_csv_field(csv, e.url, false);
                put_csv_field(csv, e.password, false);
                put_csv_field(csv, e.notes, false);
                put_csv_field(csv, "", true);
                return true;
            },
            "typed.csv"};
}

late_outcome write_after_lock(std::optional<user_lock> &lock, const active_db &before,
                              const typed_work &work) {
    const std::string &container = before.container;
    if (auto live = live_database_of(container)) return work.make(db_handle_for(live->c_str()));
    // Nothing waits for a person while holding the lock.
    lock.reset();
    std::fprintf(stderr,
                 "kesp-agent no longer holds %s: it was locked while you typed. Type its master "
                 "password to write the change to it.\n",
                 container.c_str());
    secret_buffer password;
    const bool asked = ask_master_password(password);
    lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return keep_typed(work, container);
    if (auto live = live_database_of(container)) return work.make(db_handle_for(live->c_str()));
    if (!asked) return keep_typed(work, container);
    return write_into_container(container, password.data, work);
}

bool encrypt_after_lock(std::optional<user_lock> &lock, const active_db &before,
                        const char *password) {
    const std::string &container = before.container;
    {
        container_key key;
        decrypted d = decrypt_to_memory_keeping_key(password, container.c_str(), key);
        if (d.status == decrypt_status::ok) return true;
        if (d.status == decrypt_status::failed) print_status(d.why);
    }
    lock.reset();
    std::fprintf(stderr,
                 "kesp-agent no longer holds %s: it was locked while you typed. Type its master "
                 "password to seal it under the new one.\n",
                 container.c_str());
    secret_buffer master;
    const bool asked = ask_master_password(master);
    lock = take_user_lock(lock_kind::exclusive);
    // Unlocked or made active again meanwhile: the password stays as it is.
    if (asked && lock && !has_active_db()) {
        decrypted d = decrypt_to_memory(master.data, container.c_str());
        print_status(d.why);  // the wrong password too, in those words
        if (d.status == decrypt_status::ok &&
            printed_ok(encrypt_to_file(password, d.plain->data(), d.plain->size(),
                                       container.c_str(), false))) {
            remember_last_db(container);
            std::printf("The master password of %s is now the one just typed.\n",
                        container.c_str());
            return true;
        }
    }
    std::fprintf(stderr, "%s stays encrypted under its earlier master password.\n",
                 container.c_str());
    return false;
}

void say_kept_typing() {
    auto lines = record_lines();
    if (lines.empty()) return;
    std::vector<std::string> still;
    for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
        struct stat st;
        if (::lstat(lines[i].c_str(), &st) != 0) continue;
        say_kept_file(lines[i], lines[i + 1]);
        still.push_back(lines[i]);
        still.push_back(lines[i + 1]);
    }
    if (still.size() != lines.size()) write_record(still);
}

void forget_kept_typing(const std::string &file) {
    // Told by the file itself: "../typed.csv" or a link names it as well.
    struct stat given;
    if (::stat(file.c_str(), &given) != 0) return;
    auto lines = record_lines();
    std::vector<std::string> still;
    std::string kept;
    for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
        struct stat st;
        if (kept.empty() && ::lstat(lines[i].c_str(), &st) == 0 && st.st_dev == given.st_dev &&
            st.st_ino == given.st_ino) {
            kept = lines[i];
            continue;
        }
        still.push_back(lines[i]);
        still.push_back(lines[i + 1]);
    }
    if (kept.empty()) return;
    // What was typed is in the database now: nothing of it stays behind.
    wipe_file(kept);
    ::rmdir(directory_of(kept).c_str());
    write_record(still);
    std::fprintf(stderr, "%s is brought in and removed.\n", kept.c_str());
}
