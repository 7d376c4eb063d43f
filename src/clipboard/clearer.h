// The clearer: a detached process that empties the clipboard after a time.
//
// A user has at most one clearer. Its slot is the file $XDG_RUNTIME_DIR/
// kesp-clip.pid (else ~/.kesp.clip): the clearer keeps it locked (flock) for
// as long as it runs and it holds the clearer's process id. take_clip_slot
// ends a running clearer with SIGTERM, which makes it do its work at once,
// and waits for its lock; the slot then belongs to the caller, who hands it
// to the next clearer or lets it go. Since the slot names a process to
// signal, it is used only when it and its folder belong to the user and
// nobody else may write to them, and the process it names is signalled only
// when it runs as the user.
//
// The clearer holds no secret: only the SHA-256 of what was copied, and what
// the clipboard held before (in wiped memory), never equal to the copy. When
// its time is up it reads the clipboard and, only if it still holds what was
// copied, puts the previous text back or, without one, empties it. With
// OSC 52 nothing can be read back, so it writes an empty OSC 52 whatever the
// clipboard holds (and inside tmux deletes the paste buffers that hold the
// copy).
#pragma once

#include <optional>
#include <string>

#include "clipboard/backend.h"
#include "memory/secret.h"
#include "state/files.h"

// The locked slot file; letting it go unlocks it.
struct clip_slot {
    unique_fd fd;
};

// Ends the running clearer, if any, and takes its slot; waits a few seconds
// at most. Prints why it failed.
std::optional<clip_slot> take_clip_slot();

// Starts the clearer that, after `seconds`, clears what `digest` describes
// and puts `previous` back. It owns `slot` from now on; the caller's own
// copies of `digest` and `previous` are its to wipe. Prints why it failed.
bool start_clearer(clip_slot slot, const clip_backend &backend, clip_digest &digest,
                   std::optional<secret_string> previous, int seconds);
