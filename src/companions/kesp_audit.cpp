// kesp-audit: reports the weak, empty, reused, old and breached passwords
// of the active database. It opens no socket: the breach check searches a
// copy of the Pwned Passwords list on this machine.
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "audit/audit.h"
#include "audit/pwned.h"
#include "companions/companion.h"
#include "state/numbers.h"
#include "store/db.h"
#include "store/history.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

// Here 1 says that something was found, so failures end with 2.
constexpr int exit_findings = exit_failure;
constexpr int exit_error = exit_usage;

const option long_options[] = {
    {"hibp", required_argument, nullptr, 'p'},
    {"older-than", required_argument, nullptr, 'o'},
    {"json", no_argument, nullptr, 'j'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-audit [--hibp PATH] [--older-than DAYS] [--json] [ID...]\n"
    "Reports the weak, empty, reused and old passwords of the active database\n"
    "(DAYS: 365 unless given), and with --hibp those in the Pwned Passwords list\n"
    "at PATH. Exit status 0: nothing found, 1: findings, 2: errors. Opens no\n"
    "network connection. See kesp-audit(1).\n",
    "h", long_options};

// Feeds `audit` every entry of the active database and the passwords they
// had before, read under the shared lock, which is let go before this
// returns. False after a message.
bool read_all_entries(audit_state &audit) {
    auto s = begin_session(lock_kind::shared);
    if (!s) return false;
    // After a failure (said already) the rows go by unread: a visitor that
    // stopped the statement would have the store add a message of its own.
    struct feed {
        audit_state &audit;
        bool ok = true;
    } rows{audit}, earlier{audit};
    auto add = [](void *context, const entry &row) {
        auto &f = *static_cast<feed *>(context);
        if (f.ok) f.ok = audit_add_entry(f.audit, row);
        return true;
    };
    if (!db_visit_entries(s->handle(), list_all, add, &rows) || !rows.ok) return false;
    auto add_earlier = [](void *context, std::int64_t id, std::string_view password) {
        auto &f = *static_cast<feed *>(context);
        if (f.ok) f.ok = audit_add_earlier(f.audit, id, password);
    };
    return history_visit_passwords(s->handle(), add_earlier, &earlier) && earlier.ok;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    audit_request request;
    const char *hibp = nullptr;
    bool json = false;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        if (c == 'p') hibp = argument;
        if (c == 'j') json = true;
        if (c != 'o') return true;
        auto days = parse_whole_number(argument, 0, 999999999);
        if (!days) {
            std::fprintf(stderr, "--older-than takes a whole number of days, not %s.\n", argument);
            return false;
        }
        request.older_than_days = *days;
        return true;
    });
    if (done) return *done;
    for (int i = optind; i < argc; ++i) {
        auto id = parse_whole_number(argv[i], 1, 999999999);
        if (!id) return bad_usage(program);
        request.ids.push_back(*id);
    }

    // The list is checked before the database is read: a wrong path ends
    // the run at once.
    std::optional<pwned_list> pwned;
    if (hibp != nullptr) {
        pwned = pwned_list::open(hibp);
        if (!pwned) return exit_error;
        request.pwned = &*pwned;
    }
    request.now = std::time(nullptr);
    audit_ptr audit = audit_begin(request);
    if (!audit || !read_all_entries(*audit)) return exit_error;
    auto report = audit_finish(*audit);
    if (!report) return exit_error;

    // Printed an entry at a time: the findings of a large database are
    // never all held.
    bool found = false;
    for (std::size_t k = 0; k < report->checked; ++k)
        for (const finding &f : audit_findings(*audit, k)) {
            found = true;
            std::fputs((json ? finding_json(f) : finding_line(f)).c_str(), stdout);
        }
    if (!json) std::fputs(summary_line(*report, request).c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("Cannot write the report.\n", stderr);
        return exit_error;
    }
    return found ? exit_findings : exit_ok;
}
