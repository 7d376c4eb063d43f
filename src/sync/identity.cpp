#include "sync/identity.h"

#include <cstdio>
#include <cstdlib>

#include "sync/git.h"
#include "vault/agent_link.h"
#include "vault/detect.h"

bool get_sync_key(const std::string &container, const std::string &shown, typed_passwords &typed,
                  sync_key &key) {
    key.typed = &typed;
    if (typed.empty() && agent_opens(container)) {
        key.agent = true;
        return true;
    }
    if (typed.empty()) {
        if (!typed.ask("Master password: ")) return false;
        int opens = container_opens(container.c_str(), typed.first().c_str());
        if (opens == 0)
            std::fprintf(stderr, "Wrong master password for %s; nothing was changed.\n",
                         shown.c_str());
        if (opens != 1) return false;
    }
    return true;
}

std::optional<db_lineage> recorded_lineage(const std::string &top) {
    db_lineage lineage;
    const std::string identity =
        first_line(run_git(top, {"config", "--local", "--get", "kesp.identity"},
                           git_output::silent).out);
    if (!parse_lineage_identity(identity, lineage)) return std::nullopt;
    const std::string version =
        first_line(run_git(top, {"config", "--local", "--get", "kesp.version"},
                           git_output::silent).out);
    lineage.version = std::strtoll(version.c_str(), nullptr, 10);
    if (lineage.version < 0) lineage.version = 0;
    return lineage;
}

bool record_lineage(const std::string &top, const db_lineage &lineage) {
    return run_git(top, {"config", "--local", "kesp.identity", lineage_identity_text(lineage)},
                   git_output::shown).ok() &&
           run_git(top, {"config", "--local", "kesp.version", std::to_string(lineage.version)},
                   git_output::shown).ok();
}

int lineage_with_any_key(const std::string &path, const sync_key &key, lineage_status &status,
                         db_lineage &out, const char **opened_with) {
    if (key.agent) {
        int opened = container_lineage(path, nullptr, status, out);
        if (opened != 0) {
            if (opened_with != nullptr) *opened_with = nullptr;
            return opened;
        }
    }
    if (key.typed == nullptr || key.typed->empty()) return 0;
    for (const secret_string *typed : {&key.typed->first(), &key.typed->last()}) {
        int opened = container_lineage(path, typed->c_str(), status, out);
        if (opened != 0) {
            if (opened_with != nullptr) *opened_with = typed->c_str();
            return opened;
        }
        if (typed == &key.typed->last()) break;
    }
    return 0;
}

namespace {

bool refuse(const std::string &shown, const std::string &commit, const std::string &reason) {
    std::fprintf(stderr, "kesp-sync refuses the other copy of %s (commit %s): %s; nothing was "
                         "changed.\n",
                 shown.c_str(), commit.substr(0, 12).c_str(), reason.c_str());
    return false;
}

}  // namespace

bool check_other_copy(const std::string &shown, const std::string &commit,
                      const std::string &other, sync_key &key,
                      const std::optional<db_lineage> &anchor, other_copy_lineage &out) {
    lineage_status status = lineage_status::absent;
    int opened = container_lineage(other, key.master(), status, out.lineage);
    if (opened == 0) {
        std::fprintf(stderr, "The %s does not open the other copy of %s.\n",
                     key.agent ? "password kesp-agent holds" : "master password", shown.c_str());
        if (!key.typed->ask("Password of the other copy: "))
            return refuse(shown, commit, "it does not open with the master password");
        opened = container_lineage(other, key.typed->last().c_str(), status, out.lineage);
        if (opened == 0)
            return refuse(shown, commit,
                          "it opens neither with the master password nor with the password "
                          "typed for it");
        out.own_password = true;
    }
    if (opened < 0) return refuse(shown, commit, "it cannot be read");
    if (status == lineage_status::malformed)
        return refuse(shown, commit, "the record of which database it is is damaged");
    out.carries = status == lineage_status::present;
    if (!anchor) return true;
    if (!out.carries)
        return refuse(shown, commit,
                      "it does not say which database it is: it is another database, or a "
                      "kesp-sync older than this one wrote it");
    if (out.lineage.identity != anchor->identity)
        return refuse(shown, commit, "it is another database, not this one");
    if (out.lineage.version < anchor->version)
        return refuse(shown, commit,
                      "it is an older version of this database (version " +
                          std::to_string(out.lineage.version) + ", and both copies had come to " +
                          std::to_string(anchor->version) + "): taking it would roll it back");
    return true;
}
