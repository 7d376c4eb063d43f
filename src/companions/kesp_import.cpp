// kesp-import: adds the entries of another password manager's export (or
// of kesp-export's) to the active database, in one transaction. The file is
// read and understood first; the lock is taken only to write.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "cli/session.h"
#include "formats/formats.h"
#include "formats/times.h"
#include "memory/secret.h"
#include "output/display.h"
#include "state/active_db.h"
#include "state/files.h"
#include "state/lock.h"
#include "state/process.h"
#include "store/db.h"

namespace {

constexpr int exit_ok = 0, exit_failure = 1, exit_usage = 2;

const char usage_text[] = "Usage: kesp-import [--format NAME] [--dry-run] FILE\n";

// The whole of `fd`; false after a message.
bool read_all(int fd, const std::string &name, secret_string &out) {
    char block[65536];
    for (;;) {
        ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::fprintf(stderr, "%s\n", errno_message("Cannot read " + name).c_str());
            wipe(block, sizeof block);
            return false;
        }
        if (n == 0) break;
        out.append({block, static_cast<std::size_t>(n)});
    }
    wipe(block, sizeof block);
    return true;
}

bool read_input(const std::string &file, secret_string &out) {
    if (file == "-") return read_all(STDIN_FILENO, "standard input", out);
    unique_fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        std::fprintf(stderr, "%s\n", errno_message("Cannot open " + file).c_str());
        return false;
    }
    return read_all(fd.get(), file, out);
}

const char *plural(std::size_t n, const char *one, const char *many) { return n == 1 ? one : many; }

void print_counts(const char *verb, std::size_t imported, const std::string &name,
                  transfer_format format, std::size_t duplicates,
                  const std::vector<skipped_items> &skipped) {
    std::printf("%s %zu %s from %s (%s); %zu %s skipped.\n", verb, imported,
                plural(imported, "entry", "entries"), name.c_str(), format_name(format), duplicates,
                plural(duplicates, "duplicate", "duplicates"));
    for (const auto &s : skipped) std::printf("Not imported: %zu %s.\n", s.count, s.kind.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    install_alloc_failure_handler();
    harden_process();

    static const option long_options[] = {
        {"format", required_argument, nullptr, 'f'},
        {"dry-run", no_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    std::optional<transfer_format> format;
    bool dry_run = false;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+h", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'f':
            format = format_from_name(optarg);
            if (!format) {
                std::fprintf(stderr, "Unknown format %s; the formats are %s.\n", optarg,
                             format_names(false).c_str());
                return exit_usage;
            }
            break;
        case 'n': dry_run = true; break;
        case 'h': std::fputs(usage_text, stdout); return exit_ok;
        default: std::fputs(usage_text, stderr); return exit_usage;
        }
    }
    if (argc - optind != 1) {
        std::fputs(usage_text, stderr);
        return exit_usage;
    }
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

    secret_string input;
    if (!read_input(file, input)) return exit_failure;
    parse_result parsed = parse_transfer(input, format);
    input.clear();
    if (!parsed.ok) {
        std::fprintf(stderr, "%s: %s. Nothing was imported.\n", name.c_str(), parsed.error.c_str());
        return exit_failure;
    }

    // A dry run only reads, so it shares the lock; an import holds it alone
    // from the duplicate check to the commit.
    std::optional<user_lock> lock;
    if (dry_run) {
        lock = take_user_lock(lock_kind::shared);
        if (lock && !still_active(db)) lock.reset();
    } else {
        lock = lock_unchanged(db);
    }
    if (!lock) return exit_failure;

    entry_ptr existing(db_list_entries(db.path.c_str(), list_all));
    if (!existing) return exit_failure;
    std::size_t duplicates = drop_duplicates(parsed.records, existing->next);
    entry_ptr imported = records_to_entries(parsed.records, local_time(std::time(nullptr)));

    if (dry_run) {
        // Shown with the ids they would get: SQLite gives the next id above the largest.
        int next_id = 0;
        for (const entry *e = existing->next; e != nullptr; e = e->next)
            if (e->id > next_id) next_id = e->id;
        entry_printer printer;
        for (entry *e = imported->next; e != nullptr; e = e->next) {
            e->id = ++next_id;
            printer.print(e, 0, 0);
        }
        print_counts("Would import", parsed.records.size(), name, parsed.format, duplicates,
                     parsed.skipped);
        return exit_ok;
    }

    if (!parsed.records.empty() && !db_insert_entries(db.path.c_str(), imported->next)) {
        std::fprintf(stderr, "%s: nothing was imported.\n", name.c_str());
        return exit_failure;
    }
    print_counts("Imported", parsed.records.size(), name, parsed.format, duplicates, parsed.skipped);
    return exit_ok;
}
