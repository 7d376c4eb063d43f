// A file that takes the place of another only once it is complete: written,
// synced, then renamed over the old one, so the old path never holds a
// partial file and a failure leaves it as it was. commit_new() makes a new
// file the same way, under a name nothing holds yet.
//
// Where the file system allows it the new file has no name at all while it
// is written (O_TMPFILE): a process killed meanwhile, even by SIGKILL,
// leaves nothing behind. Elsewhere it is written under a name of this
// process's own beside the target, removed again on failure and on SIGINT,
// SIGTERM, SIGHUP or SIGQUIT. One replacement at a time per process.
#pragma once

#include <cstddef>
#include <string>

#include "state/files.h"
#include "state/status.h"

// Removes what processes killed by a signal that cannot be caught (SIGKILL,
// a crash) left of a new file for `target` written under a name: files
// named exactly TARGET.new.PID whose PID is no live process, regular and
// owned by this user. A symbolic link or anything else of that name is
// left alone and never followed. Says "Removed TARGET.new.PID, left behind
// by a process that was killed while writing it.\n" on standard error for
// each file removed.
void remove_stale_new_files(const std::string &target);

// The file `path` names: where it is a symbolic link, the file the link
// leads to. Replacing the link itself would leave that file behind the
// person's back, and the new file belongs beside the file it replaces, on
// the same file system. `path` itself when it is no link or leads nowhere.
std::string replacement_target(const char *path);

// Whether a replacement prints its one warning (below) or keeps quiet for a
// caller that reports in words of its own. Failures are never printed here:
// each step returns what failed.
enum class replacement_failures { printed, silent };

class file_replacement {
public:
    // `target` is replaced; `shown` names the new file in messages.
    file_replacement(std::string target, std::string shown,
                     replacement_failures failures = replacement_failures::printed);
    ~file_replacement();  // not committed: the new file goes
    file_replacement(const file_replacement &) = delete;
    file_replacement &operator=(const file_replacement &) = delete;

    // Removes the stale new files of the target (remove_stale_new_files),
    // then creates the new file, mode 0600 (when that mode cannot be set,
    // "WARNING: Error changing permissions of file <target>\n" unless
    // silent, and it goes on). Fails as cannot_create.
    status open();
    // Appends; fails as cannot_write.
    status write(const unsigned char *data, std::size_t size);
    // Syncs the new file, renames it over the target, syncs the folder.
    status commit();
    // Syncs the new file and gives it the target's name, which must not be
    // taken: never replaces anything, not even a symbolic link. When the
    // name is taken, name_taken with EEXIST (the caller says it in its own
    // words).
    status commit_new();

private:
    status sync_written();
    status name_new_file();
    // `what` for the errno of the call that just failed.
    status fails(fault what) const;

    std::string target_, shown_;
    replacement_failures failures_;
    std::string temp_;
    unique_fd fd_;
    bool unnamed_ = false;   // O_TMPFILE: no name until commit()
    bool has_name_ = false;  // temp_ exists and is ours to remove
};
