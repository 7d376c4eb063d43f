#include "sync/file_merge.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "merge/merge.h"
#include "merge/versions.h"
#include "state/test_hooks.h"
#include "vault/lock.h"

namespace {

void say_exists(const std::string &path) {
    std::fprintf(stderr, "%s already exists; kesp-merge never overwrites a file.\n", path.c_str());
}

bool cannot_merge(const std::string &ours) {
    std::fprintf(stderr, "Nothing was merged; %s is unchanged.\n", ours.c_str());
    return false;
}

bool write_merged(const record_list &merged, const version_list *versions,
                  const db_lineage *lineage, db_form form, const secret_string *password,
                  const container_key *key, const std::string &path, bool create_new,
                  db_file_keys &keys) {
    record_source source{merged.records()};
    // A row takes its texts and some forty bytes in a page that SQLite
    // fills to about three quarters.
    std::size_t expected = 64 << 10;
    for (const record &r : merged.records()) {
        expected += 48 + r.ends[record_fields];
    }
    if (versions != nullptr)
        for (const kept_version &v : *versions) {
            expected += 64 + v.timestamp.size();
            for (const secret_string &text : v.field) expected += text.size();
        }
    errno = 0;
    std::optional<version_source> kept;
    if (versions != nullptr) kept.emplace(version_source{*versions});
    bool written =
        key != nullptr
            ? write_db_file_with_key(record_source::take, &source, expected + expected / 3, *key,
                                     path, create_new, kept ? version_source::take : nullptr,
                                     kept ? &*kept : nullptr, lineage)
            : write_db_file(record_source::take, &source, expected + expected / 3, form,
                            password != nullptr ? password->c_str() : nullptr, path, create_new,
                            kept ? version_source::take : nullptr, kept ? &*kept : nullptr,
                            &keys, lineage);
    if (!written && create_new && errno == EEXIST) say_exists(path);
    return written;
}

// OURS read under the lock (`lock`, unless the caller's is inherited) as
// it is then: its password first, then the lock from the read to the
// rename. When the file changed meanwhile, it is read again under the
// lock; should its password no longer open it, everything starts again.
bool read_ours_locked(merge_input &ours, const std::string &ours_name, password_cache &passwords,
                      bool inherited, std::optional<user_lock> &lock) {
    for (int attempt = 0;; ++attempt) {
        std::optional<db_file_digest> seen;
        if (ours.file.form == db_form::container) {
            seen = digest_db_file(ours.file.path);
            if (!seen || !passwords.open_container(ours)) return false;
        }
        test_stop_point("before-lock");
        if (!inherited) {
            lock = take_user_lock(lock_kind::exclusive);
            if (!lock) return false;
        }
        auto now = examine_db_file(ours.file.path, ours_name, false);
        if (!now) return false;
        if (now->form != ours.file.form) {
            std::fprintf(stderr, "%s was %s while kesp-merge waited.\n", ours_name.c_str(),
                         now->form == db_form::container ? "encrypted" : "decrypted");
            return false;
        }
        if (now->form == db_form::plain) return read_merge_input(ours, nullptr) > 0;
        auto digest = digest_db_file(ours.file.path);
        if (!digest) return false;
        if (*digest == *seen) return true;
        int read = read_merge_input(ours, ours.password, &passwords.keys());
        if (read < 0) return false;
        if (read > 0) return true;
        lock.reset();
        if (inherited || attempt == 2) {
            std::fprintf(stderr, "%s changed while kesp-merge waited, and its password with it.\n",
                         ours_name.c_str());
            return false;
        }
        std::fprintf(stderr, "%s changed while kesp-merge waited; reading it again.\n",
                     ours_name.c_str());
    }
}

}  // namespace

const secret_string *sealing_password(const merge_input &base, const merge_input &ours,
                                      const merge_input &theirs, std::string &notice) {
    // Only a container has a password that can have been changed.
    const auto sealed = [](const merge_input &copy) {
        return !copy.file.empty && copy.file.form == db_form::container &&
               copy.password != nullptr;
    };
    if (!sealed(base) || !sealed(theirs)) return ours.password;
    const bool ours_changed = !same_password(ours.password, base.password);
    const bool theirs_changed = !same_password(theirs.password, base.password);
    if (!theirs_changed || same_password(ours.password, theirs.password)) return ours.password;
    if (!ours_changed) {
        notice = "The master password of " + ours.file.name +
                 " was changed on the other copy; use the new one.\n";
        return theirs.password;
    }
    notice = "The master password of " + ours.file.name +
             " was changed on both copies; this copy's stays, and the other copy's new one "
             "does not open the merged copy.\n";
    return ours.password;
}

bool merge_database_files(const file_merge_request &request, file_merge_result &out) {
    merge_input inputs[3];
    merge_input &base = inputs[0], &ours = inputs[1], &theirs = inputs[2];
    const char *roles[3] = {"the common ancestor", "this copy", "the other copy"};
    for (int i = 0; i < 3; ++i) inputs[i].role = roles[i];
    // The ancestor is read first; what the copies left of it is held once.
    ours.ancestor = theirs.ancestor = &base.entries;
    const std::string &ours_name = request.ours_name;

    // The caller's passwords are taken at once, so that it never waits
    // on a full pipe.
    password_cache passwords;
    if (request.password_fd && !passwords.take_from(*request.password_fd))
        return cannot_merge(ours_name);
    std::optional<user_lock> inherited;
    if (request.lock_fd) {
        inherited = inherited_user_lock(*request.lock_fd, "--lock-fd");
        if (!inherited) return cannot_merge(ours_name);
        passwords.never_ask();
    }
    struct stat st;
    if (request.output && ::lstat(request.output->c_str(), &st) == 0) {
        say_exists(*request.output);
        return false;
    }

    const std::string *paths[3] = {&request.base, &request.ours, &request.theirs};
    for (int i = 0; i < 3; ++i) {
        auto file = examine_db_file(*paths[i], i == 1 ? ours_name : *paths[i], i == 0);
        if (!file) return cannot_merge(ours_name);
        inputs[i].file = std::move(*file);
    }
    // An encrypted database takes nothing it cannot authenticate.
    if (ours.file.form == db_form::container) {
        for (const merge_input *input : {&base, &theirs}) {
            if (input->file.empty || input->file.form == db_form::container) continue;
            std::fprintf(stderr,
                         "%s is not encrypted; an encrypted database is merged only with "
                         "encrypted copies.\n",
                         input == &base ? "BASE" : "THEIRS");
            return cannot_merge(ours_name);
        }
    }

    // The copies that are not replaced are read once, a container after
    // its password was found.
    passwords.derive_ahead_for(inputs, 3, ours.file.form == db_form::container);
    for (merge_input *input : {&base, &theirs}) {
        bool read = input->file.form == db_form::container ? passwords.open_container(*input)
                                                           : read_merge_input(*input, nullptr) > 0;
        if (!read) return cannot_merge(ours_name);
    }
    std::optional<user_lock> lock;
    if (!read_ours_locked(ours, ours_name, passwords, inherited.has_value(), lock))
        return cannot_merge(ours_name);

    copies_merged m = merge_copies(base, ours, theirs);
    if (m.lineage_found == lineage_join::different) {
        std::fprintf(stderr, "%s and %s are two different databases: each carries an identity "
                             "of its own.\n",
                     ours_name.c_str(), theirs.file.name.c_str());
        return cannot_merge(ours_name);
    }
    if (m.lineage_found == lineage_join::damaged) {
        std::fprintf(stderr, "The record of which database %s or %s is, inside it, is damaged.\n",
                     ours_name.c_str(), theirs.file.name.c_str());
        return cannot_merge(ours_name);
    }
    merge_outcome &merged = m.outcome;
    const bool record = m.record;  // the record goes on once any copy holds it
    const version_list &versions = m.versions;
    std::string notice;
    const secret_string *seal = ours.file.form == db_form::container
                                    ? sealing_password(base, ours, theirs, notice)
                                    : nullptr;
    // A lineage grows at every merge: a copy that carries one is written.
    const bool unchanged = same_records(merged.merged, ours.entries) &&
                           same_password(seal, ours.password) && record == ours.record &&
                           same_versions(versions, ours.versions) && m.carried() == nullptr;
    // Under the agent's password, the key of the copy it opened (its salt).
    const container_key *seal_key = !is_agent_password(seal) ? nullptr
                                    : ours.password == seal  ? ours.key.get()
                                                             : theirs.key.get();
    if ((request.output || !unchanged) &&
        !write_merged(merged.merged, record ? &versions : nullptr, m.carried(), ours.file.form,
                      seal, seal_key, request.output.value_or(ours.file.path),
                      request.output.has_value(), passwords.keys()))
        return cannot_merge(ours_name);
    lock.reset();
    out.report = describe_merge(merged.report);
    out.notice = std::move(notice);
    out.moved_theirs = std::move(merged.moved_theirs);
    return true;
}
