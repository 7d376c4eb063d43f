// kesp-merge: the three-way merge of two copies of a kesp database against
// their common ancestor, by hand or as git's merge driver (%O %A %B). The
// result replaces OURS in the form OURS has, or goes to a new file.
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>

#include "companions/companion.h"
#include "companions/merge_files.h"
#include "merge/merge.h"
#include "vault/active_db.h"
#include "vault/lock.h"
#include "vault/program.h"

namespace {

const option long_options[] = {
    {"output", required_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-merge BASE OURS THEIRS [-o OUT]\n"
    "Merges the kesp databases OURS and THEIRS, two copies of BASE (an empty\n"
    "file when they have none in common), and writes the result over OURS, or\n"
    "to the new file OUT. As git's merge driver: kesp-merge %O %A %B.\n"
    "See kesp-merge(1).\n",
    "o:h", long_options};

// A plain OURS that is the active database is changed only under the lock,
// as kesp itself changes it.
bool is_active_database(const std::string &path) {
    active_db active;
    struct stat st;
    return probe_active_db(active) == active_state::ok && ::stat(path.c_str(), &st) == 0 &&
           st.st_dev == active.device && st.st_ino == active.inode;
}

int cannot_merge(const merge_input &ours) {
    std::fprintf(stderr, "Nothing was merged; %s is unchanged.\n", ours.path.c_str());
    return exit_failure;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    std::optional<std::string> output;
    auto done = read_options(program, argc, argv, [&](int, const char *argument) {
        output = argument;
        return true;
    });
    if (done) return *done;
    if (argc - optind != 3) return bad_usage(program);

    merge_input inputs[3];
    const char *roles[3] = {"the common ancestor", "this copy", "the other copy"};
    for (int i = 0; i < 3; ++i) {
        inputs[i].path = argv[optind + i];
        inputs[i].role = roles[i];
    }
    inputs[0].may_be_empty = true;
    merge_input &base = inputs[0], &ours = inputs[1], &theirs = inputs[2];
    struct stat st;
    if (output && ::lstat(output->c_str(), &st) == 0) {
        std::fprintf(stderr, "%s already exists; kesp-merge never overwrites a file.\n",
                     output->c_str());
        return exit_failure;
    }
    for (merge_input &input : inputs)
        if (!examine_input(input)) return cannot_merge(ours);

    // Passwords first: nobody waits for the lock while a person types.
    terminal_passwords passwords;
    for (merge_input &input : inputs)
        if (input.form == db_form::container && !passwords.open_container(input))
            return cannot_merge(ours);

    std::optional<user_lock> lock;
    if (!output && ours.form == db_form::plain && is_active_database(ours.path)) {
        lock = take_user_lock(lock_kind::exclusive);
        if (!lock) return cannot_merge(ours);
    }
    for (merge_input &input : inputs)
        if (input.form == db_form::plain && !read_plain_input(input)) return cannot_merge(ours);

    merge_outcome merged = merge_records(base.entries, ours.entries, theirs.entries);
    const bool unchanged = same_records(merged.merged, ours.entries);
    if ((output || !unchanged) &&
        !write_merged(merged.merged, ours.form, ours.password, output ? *output : ours.path,
                      output.has_value()))
        return cannot_merge(ours);
    std::fputs(describe_merge(merged.report).c_str(), stderr);
    return exit_ok;
}
