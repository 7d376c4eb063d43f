// git-credential-kesp: git's credential helper (credential.helper kesp),
// answering from the active database: get, store and erase.
//
// It asks nothing. A locked database (encrypted, no agent holding it)
// answers nothing, so that git asks as usual, and says how to unlock.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "companions/companion.h"
#include "formats/git_credential.h"
#include "memory/secret.h"
#include "output/display.h"
#include "state/files.h"
#include "store/db.h"
#include "store/history.h"
#include "vault/active_db.h"
#include "vault/agent_link.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

const option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: git-credential-kesp get|store|erase\n"
    "git's credential helper: git config --global credential.helper kesp.\n"
    "Reads git's request on standard input; get prints the user name and the\n"
    "password of the entry whose URL matches, store keeps what git used, erase\n"
    "removes only an entry it stored itself that nothing changed since.\n"
    "See git-credential-kesp(1).\n",
    "h", long_options};

// git's request: up to the blank line, or the end of the input. Nothing
// after a message when it cannot be read.
std::optional<secret_string> read_request() {
    secret_string input;
    char chunk[4096];
    while (!credential_request_complete(input) && input.size() <= credential_input_limit) {
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            wipe(chunk, sizeof chunk);
            print_errno("Cannot read git's request");
            return std::nullopt;
        }
        if (n == 0) break;
        input.append({chunk, static_cast<std::size_t>(n)});
    }
    wipe(chunk, sizeof chunk);
    return input;
}

std::string shown(const char *text) {
    secret_string out;
    append_visible(out, text_or_empty(text), true);
    return std::string(out.view());
}

// The entries of the active database, read under the shared lock, and the
// database they came from. Nothing after a message.
struct snapshot {
    active_db db;
    entry_ptr list;  // sentinel head; the entries follow it
};

std::optional<snapshot> read_entries() {
    auto s = begin_session(lock_kind::shared);
    if (!s) return std::nullopt;
    entry_ptr list(db_list_entries(s->handle(), list_all));
    if (!list) return std::nullopt;
    return snapshot{s->db, std::move(list)};
}

int get(const credential_request &request) {
    auto snap = read_entries();
    if (!snap) return exit_failure;
    const entry *match = best_credential_match(snap->list->next, request, true);
    if (match == nullptr) return exit_ok;
    secret_string answer = credential_answer(*match);
    // Straight to the descriptor: no stdio buffer keeps a copy.
    if (!write_all(STDOUT_FILENO, answer.view())) {
        print_errno("Cannot write the answer");
        return exit_failure;
    }
    return exit_ok;
}

int store(const credential_request &request) {
    // git stores only what authenticated; half a credential is nothing to keep.
    if (!request.has_username || !request.has_password || request.password.empty())
        return exit_ok;
    auto snap = read_entries();
    if (!snap) return exit_failure;
    const entry *match = best_credential_match(snap->list->next, request, false);
    if (match == nullptr) {
        entry_ptr fresh = credential_new_entry(request);
        return add_entry(snap->db, *fresh) ? exit_ok : exit_failure;
    }
    if (request.password == text_or_empty(match->password)) return exit_ok;
    // The old password goes to the record of versions, as with every edit.
    return replace_entry_password(snap->db, *match, request.password.c_str()) ? exit_ok
                                                                             : exit_failure;
}

// True when entry `id` has no earlier version: nothing changed it since it
// was added. Nothing after a message.
std::optional<bool> never_changed(const db_handle &db, int id) {
    bool failed = false;
    auto owner = history_find_owner(db, std::to_string(id), failed);
    if (failed) return std::nullopt;
    if (!owner) return true;
    auto versions = history_versions(db, *owner);
    if (!versions) return std::nullopt;
    return versions->empty();
}

int refuse(const entry &e) {
    std::fprintf(stderr,
                 "git reported the password of entry %d (%s) refused; the entry is kept.\n", e.id,
                 shown(e.title).c_str());
    return exit_ok;
}

int erase(const credential_request &request) {
    auto snap = read_entries();
    if (!snap) return exit_failure;
    const entry *match = best_credential_match(snap->list->next, request, false);
    if (match == nullptr) return exit_ok;
    // Only the credential git used was refused; another password stands.
    if (request.has_password && request.password != text_or_empty(match->password))
        return exit_ok;
    if (!request.has_password || !stored_by_helper(*match, request)) return refuse(*match);
    auto lock = lock_unchanged(snap->db, "meanwhile");
    if (!lock) return exit_failure;
    const db_handle db = handle_of(snap->db);
    if (!entry_unchanged(db, *match)) return exit_failure;
    auto unchanged = never_changed(db, match->id);
    if (!unchanged) return exit_failure;
    if (!*unchanged) return refuse(*match);
    bool removed = false;
    if (!db_delete_entry(db, match->id, &removed)) return exit_failure;
    return exit_ok;
}

// The encrypted database git's passwords are in, when no agent holds it:
// the one the pointer file names, or, with none active, the one this
// account last locked or encrypted (kesp -E and an agent's lock forget
// the active database).
std::optional<std::string> locked_container(active_state state, const active_db &probe) {
    if (state == active_state::encrypted) return probe.path;
    if (state != active_state::none) return std::nullopt;
    auto last = last_db();
    if (!last || !file_exists(last->c_str())) return std::nullopt;
    return last;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    auto done = read_options(program, argc, argv, [](int, const char *) { return true; });
    if (done) return *done;
    if (argc - optind != 1) return bad_usage(program);
    std::string action = argv[optind];
    // The protocol asks a helper to ignore actions it does not know.
    if (action != "get" && action != "store" && action != "erase") return exit_ok;

    auto input = read_request();
    if (!input) return exit_failure;
    auto request = parse_credential_request(*input);
    if (!request) {
        std::fputs("git's request could not be read; git-credential-kesp answers nothing.\n",
                   stderr);
        return exit_failure;
    }
    if (!request_location(*request)) return exit_ok;

    active_db probe;
    active_state state = probe_active_db(probe);
    // An agent that ended has said so, and how to unlock, already.
    if (state == active_state::ended) return exit_ok;
    if (auto locked = locked_container(state, probe)) {
        std::fprintf(stderr,
                     "The database %s is encrypted; kesp-agent unlock would let git use kesp.\n",
                     locked->c_str());
        return exit_ok;
    }
    if (action == "get") return get(*request);
    if (action == "store") return store(*request);
    return erase(*request);
}
