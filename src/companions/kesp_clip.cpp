// kesp-clip: copies the password (or the one-time code) of an entry to the
// clipboard and clears it again after a while.
#include <getopt.h>

#include <cstdio>

#include "clipboard/copy.h"
#include "companions/entry_access.h"
#include "memory/secret.h"
#include "otp/entry_code.h"
#include "state/process.h"

namespace {

const char usage[] =
    "Usage: kesp-clip [-t SECONDS] [--otp] ID\n"
    "Copies the password of entry ID (with --otp, its current one-time code) to\n"
    "the clipboard and clears it after SECONDS (default 45 or KESP_CLIP_TIME;\n"
    "0 for never). See kesp-clip(1).\n";

const option long_options[] = {
    {"otp", no_argument, nullptr, 'o'},
    {"time", required_argument, nullptr, 't'},
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

    const char *time_option = nullptr;
    bool otp = false;
    for (int c; (c = getopt_long(argc, argv, "t:h", long_options, nullptr)) != -1;) {
        switch (c) {
        case 't': time_option = optarg; break;
        case 'o': otp = true; break;
        case 'h': std::fputs(usage, stdout); return 0;
        default: return bad_usage();
        }
    }
    if (optind != argc - 1) return bad_usage();
    auto id = parse_entry_id(argv[optind]);
    if (!id) return bad_usage();
    auto seconds = clip_seconds(time_option);
    if (!seconds) return 2;

    entry_ptr e = read_entry(*id);
    if (!e) return 1;
    std::string label = entry_label(*e);
    secret_string secret;
    if (otp) {
        auto code = current_entry_code(*e, label);
        if (!code) return 1;
        secret = std::move(code->digits);
    } else {
        secret.assign(text_or_empty(e->password));
    }
    // Nothing of the entry may reach the clearer that copy_secret forks.
    e.reset();
    return copy_secret(secret, otp ? "one-time code" : "password", label, *seconds) ? 0 : 1;
}
