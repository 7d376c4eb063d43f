// kesp-export: writes every entry of the active database, passwords in
// clear, to a pipe or to a new private file; never to a terminal, never
// over an existing file.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "companions/companion.h"
#include "formats/formats.h"
#include "memory/secret.h"
#include "state/status.h"
#include "state/files.h"
#include "state/replacement.h"
#include "store/db.h"
#include "store/history.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

const option long_options[] = {
    {"format", required_argument, nullptr, 'f'},
    {"output", required_argument, nullptr, 'o'},
    {"with-history", no_argument, nullptr, 'w'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{"Usage: kesp-export [--format NAME] [-o FILE] [--with-history]\n", "+o:h",
                        long_options};

void say_exists(const std::string &path) {
    std::fprintf(stderr, "%s already exists; an export never overwrites a file.\n", path.c_str());
}

// Writes `bytes` into the new file `path`, 0600. The file gets its name only
// once it is complete and synced, so an export that fails or is killed
// leaves no partial file under that name; what an earlier export killed
// beyond catching left beside it goes first. False after a message.
bool write_new_file(const std::string &path, std::string_view bytes) {
    remove_stale_new_files(path);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {  // say so before any work
        say_exists(path);
        return false;
    }
    file_replacement file(path, path);
    status s = file.open();
    if (s) s = file.write(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    if (s) s = file.commit_new();
    if (s.what == fault::name_taken) say_exists(path);
    return printed_ok(s);
}

// Standard output may take the export: no terminal, and, when it is a
// regular file (`kesp-export > backup.csv`, made by the shell with the
// umask's mode), a file that others cannot read, made private here before
// any password goes into it. Pipes and devices are left as they are. False
// after a message.
bool standard_output_fit() {
    if (::isatty(STDOUT_FILENO)) {
        std::fputs("Refusing to write every password to a terminal; redirect the output or use -o "
                   "FILE.\n",
                   stderr);
        return false;
    }
    struct stat st;
    if (::fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode)) return true;
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) == 0) return true;
    if (::fchmod(STDOUT_FILENO, st.st_mode & S_IRWXU) == 0) return true;
    // Not the owner, say.
    std::fprintf(stderr, "%s. Nothing was exported.\n",
                 errno_message("Cannot make the file on standard output private").c_str());
    return false;
}

std::vector<transfer_version> transfer_versions(const std::vector<history_version> &kept) {
    std::vector<transfer_version> out;
    for (const history_version &v : kept)
        out.push_back({v.title, v.user, v.url, v.password, v.notes,
                       std::string(v.timestamp.view()), v.replaced, v.why});
    return out;
}

// Every entry of the active database as records (with its earlier
// versions, and those of the removed entries, when `with_history`), read
// under the shared lock, which is let go before this returns: a slow
// reader of the output must not hold up the other programs. False after a
// message.
bool read_records(std::vector<transfer_record> &records, std::vector<transfer_removed> &removed,
                  bool with_history) {
    auto started = begin_session(lock_kind::shared);
    if (!started) return false;
    entry_ptr list(db_list_entries(started->handle(), list_all));
    if (!list) return false;
    std::optional<versions_by_entry> history;
    std::optional<versions_by_removal> gone;
    if (with_history && (!(history = history_by_entry(started->handle())) ||
                         !(gone = history_removed(started->handle()))))
        return false;
    for (const entry *e = list->next; e != nullptr; e = e->next) {
        records.push_back(record_from_entry(*e));
        if (!history) continue;
        auto kept = history->find(e->id);
        if (kept != history->end()) records.back().history = transfer_versions(kept->second);
    }
    if (gone)
        for (const auto &[number, kept] : *gone)
            removed.push_back({kept.front().owner.id, "r" + std::to_string(number),
                               transfer_versions(kept)});
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();
    // A reader that went away is reported like any failed write, not by a
    // silent death.
    std::signal(SIGPIPE, SIG_IGN);

    transfer_format format = transfer_format::kesp_csv;
    std::optional<std::string> output;
    bool with_history = false;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        if (c == 'o') output = argument;
        if (c == 'w') with_history = true;
        if (c != 'f') return true;
        auto named = format_from_name(argument);
        if (!named || !can_export(*named)) {
            std::fprintf(stderr, "Unknown export format %s; the export formats are %s.\n",
                         argument, format_names(true).c_str());
            return false;
        }
        format = *named;
        return true;
    });
    if (done) return *done;
    if (optind != argc) return bad_usage(program);
    if (with_history && format != transfer_format::kesp_json) {
        std::fputs("--with-history needs --format kesp-json, the one format that keeps the "
                   "earlier versions of entries.\n",
                   stderr);
        return exit_usage;
    }
    if (!output && !standard_output_fit()) return exit_failure;

    std::vector<transfer_record> records;
    std::vector<transfer_removed> removed;
    if (!read_records(records, removed, with_history)) return exit_failure;
    write_result written = write_transfer(records, format, removed);
    if (!written.ok) {
        std::fprintf(stderr, "%s. Nothing was exported.\n", written.error.c_str());
        return exit_failure;
    }
    std::fputs("WARNING: The export holds every password in clear text.\n", stderr);
    if (!output) {
        if (write_all(STDOUT_FILENO, written.bytes)) return exit_ok;
        print_errno("Cannot write the export");
        return exit_failure;
    }
    if (!write_new_file(*output, written.bytes)) return exit_failure;
    std::printf("Exported %zu %s to %s (%s).\n", records.size(),
                records.size() == 1 ? "entry" : "entries", output->c_str(), format_name(format));
    return exit_ok;
}
