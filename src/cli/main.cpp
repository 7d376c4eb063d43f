// kesp: a command-line password manager.
//
// Options are carried out one by one, left to right, the moment they are
// parsed; the four flags change only the options to their right.
#include <getopt.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "output/generator.h"
#include "memory/secret.h"
#include "vault/program.h"
#include "store/db.h"

namespace {

// From the project's version in CMakeLists.txt.
constexpr double version = KESP_VERSION;

const char usage_text[] =
    "SYNOPSIS\n"
    "\n"
    "    kesp [flags] [options]\n"
    "\n"
    "OPTIONS\n"
    "\n"
    "    -i --init                <path>   Initialize new database\n"
    "    -E --encrypt                      Encrypt the current password database\n"
    "    -D --decrypt             <path>   Decrypt password database\n"
    "    -a --add                          Add new entry\n"
    "    -c --copy                <id>     Copy an entry\n"
    "    -r --remove              <id>     Remove entry pointed by id\n"
    "    -p --show-db-path                 Show current database path\n"
    "    -u --use-db              <path>   Switch using another database\n"
    "    -f --find                <search> Search entries\n"
    "    -F --regex               <search> Search entries with regular expressions\n"
    "    -e --edit                <id>     Edit entry pointed by id\n"
    "    -l --list-entry          <id>     List entry pointed by id\n"
    "    -t --show-latest         [count]  Show latest entries, count is optional\n"
    "    -A --list-all                     List all entries\n"
    "    -h --help                         Show short help and exit. This page\n"
    "    -g --gen-password        <length> Generate password\n"
    "    -q --quick               <search> This is the same as running\n"
    "                                      --show-passwords -f\n"
    "\n"
    "    -v --version                      Show version number of program\n"
    "\n"
    "FLAGS\n"
    "\n"
    "    --auto-encrypt                    Automatically encrypt after exit\n"
    "    --show-passwords                  Show passwords in listings\n"
    "    --show-qrcode                     Show data as QR code in --list-entry\n"
    "    --force                           Ignore everything and force operation\n"
    "                                      --force only works with --init option\n"
    "\n"
    "For more information and examples see man kesp(1).\n"
    "\n"
    "AUTHORS\n"
    "    The kesp developers.";

// Set by getopt_long itself; never reset.
int auto_encrypt = 0;
int show_passwords = 0;
int show_qrcode = 0;
int force = 0;

const char short_options[] = "i:ED:u:ac:r:f:F:e:Al:g:hvptq:";

const option long_options[] = {
    {"init", required_argument, nullptr, 'i'},
    {"encrypt", no_argument, nullptr, 'E'},
    {"decrypt", required_argument, nullptr, 'D'},
    {"use-db", required_argument, nullptr, 'u'},
    {"add", no_argument, nullptr, 'a'},
    {"copy", required_argument, nullptr, 'c'},
    {"remove", required_argument, nullptr, 'r'},
    {"find", required_argument, nullptr, 'f'},
    {"regex", required_argument, nullptr, 'F'},
    {"edit", required_argument, nullptr, 'e'},
    {"list-all", no_argument, nullptr, 'A'},
    {"list-entry", required_argument, nullptr, 'l'},
    {"gen-password", required_argument, nullptr, 'g'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"show-db-path", no_argument, nullptr, 'p'},
    {"show-latest", no_argument, nullptr, 't'},
    {"quick", required_argument, nullptr, 'q'},
    {"auto-encrypt", no_argument, &auto_encrypt, 1},
    {"show-passwords", no_argument, &show_passwords, 1},
    {"show-qrcode", no_argument, &show_qrcode, 1},
    {"force", no_argument, &force, 1},
    {nullptr, 0, nullptr, 0},
};

// -t takes an optional count from the next word, whatever it looks like;
// getopt_long later skips that word as a non-option argument.
int latest_count(int argc, char **argv) {
    return optind < argc ? std::atoi(argv[optind]) : list_newest_first;
}

// An id is typed in decimal digits and nothing else: "2x" must not act on
// entry 2, nor "bank" on entry 0. Nothing, after a message, otherwise.
std::optional<int> entry_id(const char *text) {
    std::string_view digits(text);
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    long long id = 0;
    bool whole = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        whole = whole && c >= '0' && c <= '9';
        if (whole) id = id * 10 + (c - '0');
    }
    if (whole && id <= INT_MAX) return static_cast<int>(id);
    std::fprintf(stderr, "Not an entry id: %s\n", text);
    return std::nullopt;
}

void print_generated_password(const char *length) {
    char *password = generate_password(std::atoi(length));
    if (password != nullptr) free_secret_text(password);
}

// A flag acts only on the commands to its right; one with none there did
// nothing, which a person who meant it must hear.
void warn_of_unused_flags(const std::vector<int> &flags) {
    bool auto_encrypt_unused = false;
    for (int index : flags) {
        const char *name = long_options[index].name;
        std::fprintf(stderr,
                     "WARNING: --%s had no effect: a flag acts only on the commands after it.\n",
                     name);
        auto_encrypt_unused = auto_encrypt_unused || long_options[index].flag == &auto_encrypt;
    }
    if (auto_encrypt_unused) warn_if_still_decrypted();
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    if (argc == 1) {
        std::puts(usage_text);
        return 0;
    }

    // Flags given since the last command, by their index in long_options.
    std::vector<int> unused_flags;
    int index = -1;
    for (int c; (c = getopt_long(argc, argv, short_options, long_options, &index)) != -1;) {
        if (c == 0) {
            unused_flags.push_back(index);  // already set by getopt_long
            continue;
        }
        unused_flags.clear();
        switch (c) {
        case 'i': cmd_init(optarg, force, auto_encrypt); break;
        case 'E': cmd_encrypt(); break;
        case 'D': cmd_decrypt(optarg); break;
        case 'u': cmd_use_db(optarg); break;
        case 'a': cmd_add(auto_encrypt); break;
        case 'c':
            if (auto id = entry_id(optarg)) cmd_copy(*id);
            break;
        case 'r':
            if (auto id = entry_id(optarg)) cmd_remove(*id, auto_encrypt);
            break;
        case 'e':
            if (auto id = entry_id(optarg)) cmd_edit(*id, auto_encrypt);
            break;
        case 'l':
            if (auto id = entry_id(optarg))
                cmd_list_entry(*id, show_passwords, auto_encrypt, show_qrcode);
            break;
        case 'A': cmd_list_entries(show_passwords, auto_encrypt, list_all); break;
        case 't': cmd_list_entries(show_passwords, auto_encrypt, latest_count(argc, argv)); break;
        case 'f': cmd_find(optarg, show_passwords, auto_encrypt); break;
        case 'q':
            // -q is "--show-passwords -f": the flag it sets stays set, like
            // the flag itself would, for every option to its right.
            show_passwords = 1;
            cmd_find(optarg, 1, auto_encrypt);
            break;
        case 'F': cmd_find_regex(optarg, show_passwords); break;
        case 'p': cmd_show_db_path(); break;
        case 'g': print_generated_password(optarg); break;
        case 'v': std::printf("Kesp version %.1f\n", version); break;
        case 'h':
        default: std::puts(usage_text); break;
        }
    }
    warn_of_unused_flags(unused_flags);
    return 0;
}
