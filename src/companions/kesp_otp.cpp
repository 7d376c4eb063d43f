// kesp-otp: prints (or copies) the current one-time code of an entry.
#include <unistd.h>

#include <cstdio>

#include "clipboard/copy.h"
#include "companions/clip_entry.h"
#include "companions/companion.h"
#include "otp/entry_code.h"
#include "state/files.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

const option long_options[] = {
    {"clip", no_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-otp [--clip] ID\n"
    "Prints the current one-time code of entry ID, from the otpauth://totp/ URI\n"
    "in its notes; with --clip, copies it to the clipboard instead.\n"
    "See kesp-otp(1).\n",
    "h", long_options};

int print_code(int id) {
    entry_ptr e = read_entry(id);
    if (!e) return exit_failure;
    auto code = current_entry_code(*e, entry_label(*e));
    e.reset();
    if (!code) return exit_failure;
    code->digits += '\n';
    // Straight to the descriptor: no stdio buffer keeps a copy of the code.
    if (!write_all(STDOUT_FILENO, code->digits.view())) {
        print_errno("Cannot write the code");
        return exit_failure;
    }
    if (::isatty(STDERR_FILENO) == 1) std::fprintf(stderr, "Valid for %d s.\n", code->valid_for);
    return exit_ok;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    bool clip = false;
    auto done = read_options(program, argc, argv, [&](int c, const char *) {
        if (c == 'c') clip = true;
        return true;
    });
    if (done) return *done;
    auto id = single_entry_id(program, argc, argv);
    if (!id) return exit_usage;
    if (!clip) return print_code(*id);
    auto seconds = clip_seconds(nullptr);
    if (!seconds) return exit_usage;
    return copy_entry_secret(*id, true, *seconds);
}
