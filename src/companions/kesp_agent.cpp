// kesp-agent: unlocks a container once; every program then works on a copy
// in RAM, and each change is sealed into the container before it returns.
#include <cstdio>
#include <cstring>

#include "agent/agent.h"
#include "companions/companion.h"
#include "vault/program.h"

namespace {

const option long_options[] = {
    {"idle", required_argument, nullptr, 'i'},
    {"max", required_argument, nullptr, 'm'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-agent unlock [DB] [--idle DURATION] [--max DURATION]\n"
    "       kesp-agent lock\n"
    "       kesp-agent status\n"
    "unlock asks the master password of the encrypted database DB once (by\n"
    "default the database last locked or encrypted) and keeps DB unlocked, in\n"
    "RAM only, until it is locked: after DURATION without use (--idle, default\n"
    "10m), after --max (default 2h), or by kesp-agent lock. Every change is\n"
    "written to DB before the program that made it returns. DURATION is a\n"
    "number with s, m or h. status tells what is unlocked and for how long.\n"
    "See kesp-agent(1).\n",
    "+h", long_options};

// Reads the options from `optind` up to the next operand.
std::optional<int> read_durations(int argc, char **argv, unlock_options &options) {
    return read_options(program, argc, argv, [&](int c, const char *argument) {
        auto seconds = parse_duration(argument);
        if (!seconds) {
            std::fprintf(stderr, "kesp-agent: invalid duration: %s\n", argument);
            bad_usage(program);
            return false;
        }
        (c == 'i' ? options.idle_seconds : options.max_seconds) = *seconds;
        return true;
    });
}
}  // namespace

int main(int argc, char **argv) {
    start_program();

    unlock_options options;
    if (auto done = read_durations(argc, argv, options)) return *done;
    const bool timed = optind > 1;
    if (optind >= argc) return bad_usage(program);
    const char *verb = argv[optind++];
    if (std::strcmp(verb, "unlock") == 0) {
        // Options may stand before or after DB.
        while (optind < argc) {
            if (argv[optind][0] == '-') {
                if (auto done = read_durations(argc, argv, options)) return *done;
            } else if (options.db.empty()) {
                options.db = argv[optind++];
            } else {
                return bad_usage(program);
            }
        }
        return agent_unlock(options);
    }
    if (timed || optind < argc) return bad_usage(program);
    if (std::strcmp(verb, "lock") == 0) return agent_lock();
    if (std::strcmp(verb, "status") == 0) return agent_status();
    return bad_usage(program);
}
