// kesp-clip: copies the password (or the one-time code) of an entry to the
// clipboard and clears it again after a while.
#include "clipboard/copy.h"
#include "companions/clip_entry.h"
#include "companions/companion.h"
#include "vault/program.h"

namespace {

const option long_options[] = {
    {"otp", no_argument, nullptr, 'o'},
    {"time", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-clip [-t SECONDS] [--otp] ID\n"
    "Copies the password of entry ID (with --otp, its current one-time code) to\n"
    "the clipboard and clears it after SECONDS (default 45 or KESP_CLIP_TIME;\n"
    "0 for never). See kesp-clip(1).\n",
    "t:h", long_options};

}  // namespace

int main(int argc, char **argv) {
    start_program();

    const char *time_option = nullptr;
    bool otp = false;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        if (c == 't') time_option = argument;
        if (c == 'o') otp = true;
        return true;
    });
    if (done) return *done;
    auto id = single_entry_id(program, argc, argv);
    if (!id) return exit_usage;
    auto seconds = clip_seconds(time_option);
    if (!seconds) return exit_usage;
    return copy_entry_secret(*id, otp, *seconds);
}
