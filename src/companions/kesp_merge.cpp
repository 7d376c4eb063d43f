// kesp-merge: the three-way merge of two copies of a kesp database against
// their common ancestor, by hand or as git's merge driver (%O %A %B); the
// work is sync/file_merge.h's.
#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "companions/companion.h"
#include "state/files.h"
#include "state/numbers.h"
#include "sync/file_merge.h"
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

    file_merge_request request{argv[optind], argv[optind + 1], argv[optind + 2],
                               options.name.value_or(argv[optind + 1]), options.output,
                               options.password_fd, options.lock_fd};
    file_merge_result merged;
    if (!merge_database_files(request, merged)) return exit_failure;
    // The merged copy stands: a report that cannot be written is said, but
    // undoes nothing.
    if (options.moved_fd) report_moves(*options.moved_fd, merged.moved_theirs);
    std::fputs(merged.report.c_str(), stderr);
    std::fputs(merged.notice.c_str(), stderr);
    return exit_ok;
}
