#include "companions/companion.h"

#include <cstdio>

#include "state/numbers.h"

int print_usage(const companion &program) {
    std::fputs(program.usage, stdout);
    return exit_ok;
}

int bad_usage(const companion &program) {
    std::fputs(program.usage, stderr);
    return exit_usage;
}

std::optional<int> single_entry_id(const companion &program, int argc, char **argv) {
    std::optional<int> id;
    if (optind == argc - 1) id = parse_whole_number(argv[optind], 1, 999999999);
    if (!id) bad_usage(program);
    return id;
}
