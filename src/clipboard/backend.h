// The clipboard kesp-clip writes to, and what is done with it: copy a text,
// read what it holds, tell whether it still holds a copy, clear it.
//
// The choice, in this order: Wayland (WAYLAND_DISPLAY set and wl-copy found),
// X11 (DISPLAY set and xclip found, else xsel), and with neither display set
// but a terminal on standard error, OSC 52 written to that terminal. Helpers
// are looked up once in PATH and run by absolute path. None of these helpers
// can offer a second target next to the text, so the copy cannot carry the
// x-kde-passwordManagerHint that asks clipboard managers to skip it.
//
// OSC 52 inside tmux (TMUX set and tmux found) is not enough alone: with
// set-clipboard on, tmux keeps each OSC 52 copy as a paste buffer, and it
// ignores the empty OSC 52 that would clear one. There the copy also goes
// into tmux's paste buffer "kesp-clip" (through tmux's standard input),
// which tmux pastes whatever set-clipboard says and which can be read back;
// clearing deletes every paste buffer that holds the copy and leaves the
// others as they were.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "memory/secret.h"

enum class clip_kind { wayland, xclip, xsel, osc52 };

struct clip_backend {
    clip_kind kind = clip_kind::osc52;
    std::string copier;       // absolute path of wl-copy, xclip or xsel; empty for OSC 52
    std::string reader;       // wl-paste, or the copier; empty when nothing can read it back
    int terminal = -1;        // OSC 52: a descriptor of the terminal (not owned)
    std::string tmux;         // OSC 52 inside tmux: tmux's absolute path; else empty
    std::string tmux_socket;  // the socket of that tmux server, from TMUX
};

// What the choice depends on; empty texts for unset variables.
struct clip_environment {
    std::string wayland_display, display, path;
    bool terminal_on_stderr = false;
    std::string tmux;  // TMUX: "SOCKET,PID,SESSION" inside tmux
};

// The environment of this process.
clip_environment current_clip_environment();

// The backend to use, or nothing with `why` naming what to install or do.
std::optional<clip_backend> choose_backend(const clip_environment &env, std::string &why);

// What the clipboard is compared with: the SHA-256 of a text, never the text.
using clip_digest = wiped_array<32>;

// SHA-256 of `text`.
void clip_hash(std::string_view text, clip_digest &digest);

// True when `text` is the text `digest` describes.
bool clip_matches(std::string_view text, const clip_digest &digest);

// Puts `text` on the clipboard. Prints what failed.
bool clip_write(const clip_backend &backend, std::string_view text);

// The text the clipboard holds now; nothing when it is empty, not text,
// larger than helper_output_limit or cannot be read (always so for OSC 52).
// Prints nothing.
std::optional<secret_string> clip_read(const clip_backend &backend);

enum class clip_check { holds, differs, unreadable };

// Whether the clipboard holds the text `digest` describes (inside tmux: the
// paste buffer "kesp-clip"). Empty or failing to be read is `differs`;
// `unreadable` only where nothing can read it back (OSC 52 outside tmux, a
// Wayland without wl-paste). Prints nothing.
clip_check clip_compare(const clip_backend &backend, const clip_digest &digest);

// Empties the clipboard, which held the text `copied` describes; inside
// tmux also deletes every paste buffer that holds that text. Prints what
// failed.
bool clip_clear(const clip_backend &backend, const clip_digest &copied);

// ESC ] 52 ; c ; base64(text) BEL: a terminal that allows it puts `text` on
// the clipboard of the desktop it runs on; an empty text clears it.
secret_string osc52_sequence(std::string_view text);
