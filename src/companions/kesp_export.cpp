// kesp-export: writes every entry of the active database, passwords in
// clear, to a pipe or to a new private file; never to a terminal, never
// over an existing file.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "memory/secret.h"
#include "cli/session.h"
#include "state/files.h"
#include "state/process.h"
#include "state/replacement.h"
#include "store/db.h"

namespace {

constexpr int exit_ok = 0, exit_failure = 1, exit_usage = 2;

const char usage_text[] = "Usage: kesp-export [--format NAME] [-o FILE]\n";


void say_exists(const std::string &path) {
    std::fprintf(stderr, "%s already exists; an export never overwrites a file.\n", path.c_str());
}

// Writes `bytes` into the new file `path`, 0600. The file gets its name only
// once it is complete and synced, so an export that fails or is killed
// leaves no partial file behind. False after a message.
bool write_new_file(const std::string &path, std::string_view bytes) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {  // say so before any work
        say_exists(path);
        return false;
    }
    file_replacement file(path, path);
    if (!file.open() ||
        !file.write(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()))
        return false;
    if (file.commit_new()) return true;
    if (errno == EEXIST) say_exists(path);
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    install_alloc_failure_handler();
    harden_process();

    static const option long_options[] = {
        {"format", required_argument, nullptr, 'f'},
        {"output", required_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    transfer_format format = transfer_format::kesp_csv;
    std::optional<std::string> output;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+o:h", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'f': {
            auto named = format_from_name(optarg);
            if (!named || !can_export(*named)) {
                std::fprintf(stderr, "Unknown export format %s; the export formats are %s.\n", optarg,
                             format_names(true).c_str());
                return exit_usage;
            }
            format = *named;
            break;
        }
        case 'o': output = optarg; break;
        case 'h': std::fputs(usage_text, stdout); return exit_ok;
        default: std::fputs(usage_text, stderr); return exit_usage;
        }
    }
    if (optind != argc) {
        std::fputs(usage_text, stderr);
        return exit_usage;
    }
    if (!output && ::isatty(STDOUT_FILENO)) {
        std::fputs("Refusing to write every password to a terminal; redirect the output or use -o "
                   "FILE.\n",
                   stderr);
        return exit_failure;
    }

    // The lock is let go before the output is written: a slow reader of the
    // pipe must not hold up the other programs.
    std::vector<transfer_record> records;
    {
        auto started = begin_session(lock_kind::shared);
        if (!started) return exit_failure;
        entry_ptr list(db_list_entries(started->path(), list_all));
        if (!list) return exit_failure;
        for (const entry *e = list->next; e != nullptr; e = e->next) records.push_back(record_from_entry(*e));
    }

    write_result written = write_transfer(records, format);
    if (!written.ok) {
        std::fprintf(stderr, "%s. Nothing was exported.\n", written.error.c_str());
        return exit_failure;
    }
    std::fputs("WARNING: The export holds every password in clear text.\n", stderr);
    if (output) {
        if (!write_new_file(*output, written.bytes)) return exit_failure;
        std::printf("Exported %zu %s to %s (%s).\n", records.size(),
                    records.size() == 1 ? "entry" : "entries", output->c_str(), format_name(format));
        return exit_ok;
    }
    if (!write_all(STDOUT_FILENO, written.bytes)) {
        std::fprintf(stderr, "%s\n", errno_message("Cannot write the export").c_str());
        return exit_failure;
    }
    return exit_ok;
}
