// kesp-import: adds the entries of another password manager's export (or
// of kesp-export's) to the active database, in one transaction. The file is
// read and understood first; the lock is taken only to write.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "companions/companion.h"
#include "formats/formats.h"
#include "formats/times.h"
#include "memory/secret.h"
#include "output/display.h"
#include "state/files.h"
#include "store/db.h"
#include "store/history.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

const option long_options[] = {
    {"format", required_argument, nullptr, 'f'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{"Usage: kesp-import [--format NAME] [--dry-run] FILE\n", "+h",
                        long_options};

// No export of a password manager comes near this; /dev/zero or a wrong
// file would otherwise be read until memory runs out.
constexpr std::size_t input_limit = std::size_t(128) << 20;

// The whole of `fd`, at most input_limit bytes; false after a message.
bool read_all(int fd, const std::string &name, secret_string &out) {
    wiped_array<65536, char> block;
    for (;;) {
        ssize_t n = ::read(fd, block.data, sizeof block.data);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            print_errno("Cannot read " + name);
            return false;
        }
        if (n == 0) return true;
        if (out.size() + static_cast<std::size_t>(n) > input_limit) {
            std::fprintf(stderr, "%s is larger than 128 MiB; no export is that large. Nothing "
                         "was imported.\n", name.c_str());
            return false;
        }
        out.append({block.data, static_cast<std::size_t>(n)});
    }
}

bool read_input(const std::string &file, secret_string &out) {
    if (file == "-") return read_all(STDIN_FILENO, "standard input", out);
    unique_fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        print_errno("Cannot open " + file);
        return false;
    }
    return read_all(fd.get(), file, out);
}

const char *plural(std::size_t n, const char *one, const char *many) { return n == 1 ? one : many; }

void print_counts(const char *verb, const parse_result &parsed, const std::string &name,
                  std::size_t duplicates) {
    std::size_t imported = parsed.records.size();
    std::printf("%s %zu %s from %s (%s); %zu %s skipped.\n", verb, imported,
                plural(imported, "entry", "entries"), name.c_str(), format_name(parsed.format),
                duplicates, plural(duplicates, "duplicate", "duplicates"));
    for (const auto &s : parsed.skipped) std::printf("Not imported: %zu %s.\n", s.count, s.kind.c_str());
}

// Shows what an import would add, with the ids the entries would get:
// SQLite gives the next id above the largest.
void show_dry_run(const entry *existing, entry *imported) {
    int next_id = 0;
    for (const entry *e = existing; e != nullptr; e = e->next)
        if (e->id > next_id) next_id = e->id;
    entry_printer printer;
    for (entry *e = imported; e != nullptr; e = e->next) {
        e->id = ++next_id;
        printer.print(e, 0, 0);
    }
}

// The file read and understood; false after a message.
bool parse_file(const std::string &file, const std::string &name,
                std::optional<transfer_format> format, parse_result &parsed) {
    secret_string input;
    if (!read_input(file, input)) return false;
    parsed = parse_transfer(input, format);
    if (!parsed.ok) {
        std::fprintf(stderr, "%s: %s. Nothing was imported.\n", name.c_str(), parsed.error.c_str());
        return false;
    }
    return true;
}

std::vector<history_version> versions_of(const std::vector<transfer_version> &versions) {
    std::vector<history_version> kept;
    for (const transfer_version &v : versions) {
        history_version h;
        h.title = v.title;
        h.user = v.user;
        h.url = v.url;
        h.password = v.password;
        h.notes = v.notes;
        h.timestamp.assign(v.modified);
        h.replaced = v.replaced;
        h.why = v.why;
        kept.push_back(std::move(h));
    }
    return kept;
}

// Adds what `parsed` holds to the database resolved as `db` (or, for a dry
// run, shows it), leaving out what it holds already.
int import_records(const active_db &db, parse_result &parsed, const std::string &name,
                   bool dry_run) {
    // A dry run only reads, so it shares the lock; an import holds it alone
    // from the duplicate check to the commit.
    std::optional<user_lock> lock;
    if (dry_run) {
        lock = take_user_lock(lock_kind::shared);
        if (lock && !still_active(db, while_reading)) lock.reset();
    } else {
        lock = lock_unchanged(db, while_reading);
    }
    if (!lock) return exit_failure;

    entry_ptr existing(db_list_entries(db.path.c_str(), list_all));
    if (!existing) return exit_failure;
    std::size_t duplicates = drop_duplicates(parsed.records, existing->next);
    entry_ptr imported = records_to_entries(parsed.records, local_time(std::time(nullptr)));
    if (dry_run) {
        show_dry_run(existing->next, imported->next);
        print_counts("Would import", parsed, name, duplicates);
        return exit_ok;
    }
    // kesp-json brings the earlier versions of its entries back, and those
    // of its removed entries.
    std::vector<std::vector<history_version>> histories;
    for (const transfer_record &r : parsed.records) histories.push_back(versions_of(r.history));
    std::vector<removed_versions> removed;
    for (const transfer_removed &r : parsed.removed) removed.push_back({r.id, versions_of(r.history)});
    if ((!parsed.records.empty() || !removed.empty()) &&
        !db_insert_entries(db.path.c_str(), imported->next, &histories, &removed)) {
        std::fprintf(stderr, "%s: nothing was imported.\n", name.c_str());
        return exit_failure;
    }
    print_counts("Imported", parsed, name, duplicates);
    return exit_ok;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    std::optional<transfer_format> format;
    bool dry_run = false;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        if (c == 'n') dry_run = true;
        if (c != 'f') return true;
        format = format_from_name(argument);
        if (!format)
            std::fprintf(stderr, "Unknown format %s; the formats are %s.\n", argument,
                         format_names(false).c_str());
        return format.has_value();
    });
    if (done) return *done;
    if (argc - optind != 1) return bad_usage(program);
    const std::string file = argv[optind];
    const std::string name = file == "-" ? "standard input" : file;

    // Resolved under the shared lock, which is let go while the file (maybe
    // a terminal or a slow pipe) is read.
    active_db db;
    {
        auto started = begin_session(lock_kind::shared);
        if (!started) return exit_failure;
        db = started->db;
    }
    parse_result parsed;
    if (!parse_file(file, name, format, parsed)) return exit_failure;
    return import_records(db, parsed, name, dry_run);
}
