// Entries whose id changed on this machine when it took another machine's
// merge: that merge kept its own ids and gave the entries it received
// (this machine's, sent earlier) new ones above its own.
//
// The merging kesp-merge hands kesp-sync the pairs it made (ids only), and
// kesp-sync writes them into the merge commit's message as a trailer. The
// remote is trusted with nothing, so a receiving machine takes that
// trailer as a hint only: what it prints comes from comparing the
// database before and after, both authenticated by their containers. An
// entry moved when its texts and time stand, unchanged, under another id
// after, and no other entry before or after has them too.
//
// Texts are held in wiped memory; nothing here asks for a password or
// writes a file. Read failures are printed where they are found.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memory/secret.h"

// One entry as the comparison sees it: its id, its title, and its texts
// and time joined into one key.
struct entry_print {
    std::int64_t id = 0;
    secret_string title;
    secret_string key;
};
using entry_prints = std::vector<entry_print>;

// The entries of the container at `path` (named `name` in messages),
// decrypted with `password`, or with kesp-agent's key when `password` is
// null. 1 read, 0 the password (or the agent) does not open it, -1 failed
// after a message.
int read_entry_prints(const std::string &path, const std::string &name, const char *password,
                      entry_prints &out);

struct moved_entry {
    std::int64_t from = 0, to = 0;
    secret_string title;
};

// The entries of `before` that stand under another id in `after`, by their
// old id.
std::vector<moved_entry> find_moves(const entry_prints &before, const entry_prints &after);

// "; entry 20 (desktop-only) is now 21" and ", entry 22 (b) is now 23" for
// each further one; a control character of a title is shown as '?', so
// that the result stays one line and moves no cursor.
std::string describe_moves(const std::vector<moved_entry> &moves);

// The trailer of a merge commit that gave entries of the other copy new
// ids: "Kesp-Renumbered: 20>21 22>23"; empty for no pairs.
std::string renumbered_trailer(const std::vector<std::pair<std::int64_t, std::int64_t>> &pairs);

// Whether a commit message (or several, as git log prints them) holds that
// trailer.
bool claims_renumbering(std::string_view messages);

// The pairs as kesp-merge writes them, "FROM TO\n" each; lines that are
// not two ids are skipped.
std::vector<std::pair<std::int64_t, std::int64_t>> parse_moved_pairs(std::string_view text);
