// Which database a repository keeps, and how far it has come: the lineage
// (an identity drawn once per database and a version) that kesp-sync
// writes inside the encrypted database, and the copy of it that the
// repository's own configuration holds (kesp.identity, kesp.version),
// which no remote can change.
//
// A copy that comes from the remote is taken only once it is shown to be
// this database, later: it opens under the person's key (kesp-agent's, or
// the master password asked once; its own password asked once when the
// master password does not open it), it carries this database's identity,
// and its version is not below the one both machines last shared.
#pragma once

#include <optional>
#include <string>

#include "sync/passwords.h"
#include "vault/lineage.h"

// The key of one sync: kesp-agent's, or the passwords typed.
struct sync_key {
    bool agent = false;
    typed_passwords *typed = nullptr;
    // The master password typed, or nullptr for the agent's key.
    const char *master() const { return agent ? nullptr : typed->first().c_str(); }
};

// The agent's key when kesp-agent opens `container`, else the master
// password asked once ("Master password: ") and checked on it. False after
// a message (`shown` names the database); nothing is changed then.
bool get_sync_key(const std::string &container, const std::string &shown, typed_passwords &typed,
                  sync_key &key);

// What the repository's configuration records; nothing when it records
// no identity (a repository of an older kesp-sync).
std::optional<db_lineage> recorded_lineage(const std::string &top);
bool record_lineage(const std::string &top, const db_lineage &lineage);

// The lineage of the container at `path`, trying the agent's key and then
// each password typed. 1 opened, 0 none opens it, -1 failed after a message.
// `opened_with` receives the password that opened it (nullptr: the agent).
int lineage_with_any_key(const std::string &path, const sync_key &key, lineage_status &status,
                         db_lineage &out, const char **opened_with = nullptr);

// What the check of the other copy found.
struct other_copy_lineage {
    bool carries = false;          // it has a lineage (`lineage`)
    db_lineage lineage;
    bool own_password = false;     // only a password of its own opened it
};

// Checks the other copy's container at `other` (of `commit`, named in a
// refusal) against this database: `anchor` is what the repository
// records, or else what the container `current` carries, or else nothing
// (the first sync of a database set up by an older kesp-sync, which then
// trusts the other copy as that kesp-sync did). May ask "Password of the
// other copy: " once. False after "kesp-sync refuses the other copy of
// DB (commit C): REASON; nothing was changed.\n".
bool check_other_copy(const std::string &shown, const std::string &commit,
                      const std::string &other, sync_key &key,
                      const std::optional<db_lineage> &anchor, other_copy_lineage &out);
