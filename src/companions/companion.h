// The skeleton every companion's main stands on: exit codes, the reading
// of options, the usage text.
//
// Unlike kesp, the companions end with a status that scripts can test:
// 0 done, 1 failed (after a message on standard error), 2 bad usage (the
// usage text on standard error, after getopt's own diagnostic when an
// option was the problem). --help (and -h) print the usage text on
// standard output and end with 0.
#pragma once

#include <getopt.h>

#include <optional>

inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

struct companion {
    const char *usage;          // the whole usage text, ending in a newline
    const char *short_options;  // for getopt_long; must hold "h"
    const option *long_options; // must hold {"help", no_argument, nullptr, 'h'}
};

// Prints the usage text on standard error; returns exit_usage.
int bad_usage(const companion &program);

// Prints the usage text on standard output; returns exit_ok.
int print_usage(const companion &program);

// Reads the options of `argv` in order and hands each of the program's own
// to `take(option, argument)`, which returns false when the argument is
// refused (after saying why). Nothing when the options were read and the
// program goes on with the operands from `optind`; otherwise the status to
// end with: exit_ok after --help, exit_usage after a bad option.
template <typename Take>
std::optional<int> read_options(const companion &program, int argc, char **argv, Take take) {
    for (int c; (c = getopt_long(argc, argv, program.short_options, program.long_options,
                                 nullptr)) != -1;) {
        if (c == 'h') return print_usage(program);
        if (c == '?' || c == ':') return bad_usage(program);
        if (!take(c, optarg)) return exit_usage;
    }
    return std::nullopt;
}

// The entry id of a program that takes exactly one operand: a positive
// number in digits only. Nothing (after the usage text) otherwise.
std::optional<int> single_entry_id(const companion &program, int argc, char **argv);
