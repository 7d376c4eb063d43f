// kesp-sync: keeps an encrypted kesp database in a git repository and
// carries it between machines with git, kesp-merge merging the copies.
#include <cstring>
#include <optional>
#include <string>

#include "companions/companion.h"
#include "sync/sync.h"
#include "vault/program.h"

namespace {

const option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"clean-filter", required_argument, nullptr, 'c'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-sync init DB [REMOTE]\n"
    "       kesp-sync [DB]\n"
    "Keeps the encrypted kesp database DB in a git repository and sends it to\n"
    "REMOTE and back: commits it when it changed, merges the other copy's\n"
    "changes with kesp-merge, and sends the result. See kesp-sync(1).\n",
    "+h", long_options};

}  // namespace

int main(int argc, char **argv) {
    start_program();

    // git's clean filter (see kesp-sync(1)): no lock, no git, only a copy.
    const char *filtered = nullptr;
    auto done = read_options(program, argc, argv, [&](int, const char *argument) {
        filtered = argument;
        return true;
    });
    if (done) return *done;
    if (filtered != nullptr) {
        if (optind != argc) return bad_usage(program);
        return sync_clean_filter(filtered) ? exit_ok : exit_failure;
    }
    const int operands = argc - optind;
    char **words = argv + optind;
    if (operands >= 1 && std::strcmp(words[0], "init") == 0) {
        if (operands < 2 || operands > 3) return bad_usage(program);
        std::optional<std::string> remote;
        if (operands == 3) remote = words[2];
        return sync_init(words[1], remote, argv[0]) ? exit_ok : exit_failure;
    }
    if (operands > 1) return bad_usage(program);
    std::optional<std::string> db;
    if (operands == 1) db = words[0];
    return sync_database(db, argv[0]) ? exit_ok : exit_failure;
}
