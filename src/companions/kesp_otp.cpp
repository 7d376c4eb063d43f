// kesp-otp: prints (or copies) the current one-time code of an entry.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>

#include "clipboard/copy.h"
#include "companions/entry_access.h"
#include "memory/secret.h"
#include "otp/entry_code.h"
#include "state/files.h"
#include "state/process.h"

namespace {

const char usage[] =
    "Usage: kesp-otp [--clip] ID\n"
    "Prints the current one-time code of entry ID, from the otpauth://totp/ URI\n"
    "in its notes; with --clip, copies it to the clipboard instead.\n"
    "See kesp-otp(1).\n";

const option long_options[] = {
    {"clip", no_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

int bad_usage() {
    std::fputs(usage, stderr);
    return 2;
}


}  // namespace

int main(int argc, char **argv) {
    install_alloc_failure_handler();
    harden_process();

    bool clip = false;
    for (int c; (c = getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'c': clip = true; break;
        case 'h': std::fputs(usage, stdout); return 0;
        default: return bad_usage();
        }
    }
    if (optind != argc - 1) return bad_usage();
    auto id = parse_entry_id(argv[optind]);
    if (!id) return bad_usage();
    std::optional<int> seconds = 0;
    if (clip && !(seconds = clip_seconds(nullptr))) return 2;

    entry_ptr e = read_entry(*id);
    if (!e) return 1;
    std::string label = entry_label(*e);
    auto code = current_entry_code(*e, label);
    e.reset();
    if (!code) return 1;
    if (clip) return copy_secret(code->digits, "one-time code", label, *seconds) ? 0 : 1;

    code->digits += '\n';
    // Straight to the descriptor: no stdio buffer keeps a copy of the code.
    if (!write_all(STDOUT_FILENO, code->digits.view())) {
        std::perror("Cannot write the code");
        return 1;
    }
    if (::isatty(STDERR_FILENO) == 1) std::fprintf(stderr, "Valid for %d s.\n", code->valid_for);
    return 0;
}
