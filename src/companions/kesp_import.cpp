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
#include "state/pointer_file.h"
#include "vault/late_change.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

const option long_options[] = {
    {"format", required_argument, nullptr, 'f'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"update", no_argument, nullptr, 'u'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{"Usage: kesp-import [--format NAME] [--dry-run] [--update] FILE\n", "+h",
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

// What an import did, or would do.
struct import_counts {
    std::size_t imported = 0, duplicates = 0, updated = 0, differing = 0, undated = 0;
    std::size_t removed_back = 0;
};

// "Imported 2 entries from FILE (FORMAT); 1 duplicate skipped." and, where
// there were any, the entries updated, the ones that differ from the
// database's and the removed entries whose versions came back.
void print_counts(bool dry_run, const parse_result &parsed, const std::string &name,
                  const import_counts &n) {
    std::printf("%s %zu %s from %s (%s); %zu %s skipped", dry_run ? "Would import" : "Imported",
                n.imported, plural(n.imported, "entry", "entries"), name.c_str(),
                format_name(parsed.format), n.duplicates,
                plural(n.duplicates, "duplicate", "duplicates"));
    if (n.updated > 0)
        std::printf("; %zu %s %s", n.updated, plural(n.updated, "entry", "entries"),
                    dry_run ? "would be updated" : "updated");
    if (n.differing > 0)
        std::printf("; %zu %s from yours; %s", n.differing,
                    plural(n.differing, "entry differs", "entries differ"),
                    dry_run ? "would keep yours" : "kept yours");
    if (n.removed_back > 0)
        std::printf("; the versions of %zu removed %s brought back", n.removed_back,
                    plural(n.removed_back, "entry", "entries"));
    std::fputs(".\n", stdout);
    for (const auto &s : parsed.skipped) std::printf("Not imported: %zu %s.\n", s.count, s.kind.c_str());
    if (n.undated > 0)
        std::printf("Not updated: %zu %s without a time in the file, so none is known to be "
                    "newer.\n", n.undated, plural(n.undated, "entry", "entries"));
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

// What `parsed` adds to the entries `existing`, and how it stands.
struct import_work {
    import_plan plan;
    import_counts counts;
    entry_ptr added, replacements;
};

import_work plan_records(const parse_result &parsed, const entry *existing, bool update) {
    import_work w;
    w.plan = plan_import(parsed.records, existing, update);
    w.counts.duplicates = w.plan.duplicates;
    w.counts.differing = w.plan.differing;
    w.counts.undated = w.plan.undated;
    w.counts.updated = w.plan.updates.size();
    w.counts.imported = w.plan.added.size();
    std::vector<transfer_record> added, replacing;
    for (std::size_t i : w.plan.added) added.push_back(parsed.records[i]);
    for (const import_update &u : w.plan.updates) replacing.push_back(parsed.records[u.record]);
    const std::string now = local_time(std::time(nullptr));
    w.added = records_to_entries(added, now);
    w.replacements = records_to_entries(replacing, now);
    return w;
}

// Under the lock alone: what `parsed` holds added to `db`, leaving out what
// it holds already; with `update`, the file's version taken of an entry
// that the file shows newer. `parsed` stays as it was: should the agent
// have locked meanwhile, the same may be made again on the container, or
// kept.
late_outcome write_records(const db_handle &db, const parse_result &parsed,
                           const std::string &name, bool update, import_counts &counts) {
    entry_ptr existing(db_list_entries(db, list_all));
    if (!existing) return late_outcome::store_failed;
    import_work w = plan_records(parsed, existing->next, update);
    std::vector<entry_replacement> changes;
    const entry *e = w.replacements->next;
    for (std::size_t i = 0; i < w.plan.updates.size() && e != nullptr; ++i, e = e->next)
        changes.push_back({w.plan.updates[i].id, e});
    // kesp-json brings the earlier versions of its entries back, and those
    // of its removed entries.
    std::vector<std::vector<history_version>> histories;
    for (std::size_t i : w.plan.added) histories.push_back(versions_of(parsed.records[i].history));
    std::vector<removed_versions> removed;
    for (const transfer_removed &r : parsed.removed) removed.push_back({r.id, versions_of(r.history)});
    if ((!w.plan.added.empty() || !changes.empty() || !removed.empty()) &&
        !db_import(db, w.added->next, &histories, &removed, changes, w.counts.removed_back)) {
        std::fprintf(stderr, "%s: nothing was imported.\n", name.c_str());
        return late_outcome::store_failed;
    }
    counts = w.counts;
    return late_outcome::written;
}

// Adds what `parsed` holds to the database resolved as `db` (or, for a dry
// run, shows it), as write_records does.
int import_records(const active_db &db, const parse_result &parsed, const std::string &name,
                   bool dry_run, bool update) {
    if (dry_run) {
        // A dry run only reads, so it shares the lock.
        auto lock = take_user_lock(lock_kind::shared);
        if (!lock || !still_active(db, while_reading)) return exit_failure;
        entry_ptr existing(db_list_entries(handle_of(db), list_all));
        if (!existing) return exit_failure;
        import_work w = plan_records(parsed, existing->next, update);
        show_dry_run(existing->next, w.added->next);
        print_counts(true, parsed, name, w.counts);
        return exit_ok;
    }
    import_counts counts;
    late_outcome outcome = late_outcome::refused;
    if (name == "standard input") {
        // What was typed cannot be read again: should the agent lock
        // meanwhile, it goes into the container, or is kept and named.
        const typed_work work{
            [&](const db_handle &h) { return write_records(h, parsed, name, update, counts); },
            [&](secret_string &bytes) {
                write_result kept = write_transfer(parsed.records, transfer_format::kesp_json,
                                                   parsed.removed);
                if (!kept.ok) std::fprintf(stderr, "%s.\n", kept.error.c_str());
                bytes = std::move(kept.bytes);
                return kept.ok;
            },
            update ? "typed-update.json" : "typed.json"};
        outcome = make_typed_work(db, work, while_reading);
    } else if (auto lock = lock_unchanged(db, while_reading)) {
        // The lock is held alone from the duplicate check to the commit.
        outcome = write_records(handle_of(db), parsed, name, update, counts);
    }
    if (outcome != late_outcome::written) return exit_failure;
    print_counts(false, parsed, name, counts);
    // A file of what was typed while the agent locked has done its work.
    if (name != "standard input") forget_kept_typing(name);
    return exit_ok;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    std::optional<transfer_format> format;
    bool dry_run = false;
    bool update = false;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        if (c == 'n') dry_run = true;
        if (c == 'u') update = true;
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
    return import_records(db, parsed, name, dry_run, update);
}
