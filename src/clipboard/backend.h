// The clipboard kesp-clip writes to, and the three things done with it:
// copy a text, read what it holds, clear it.
//
// The choice, in this order: Wayland (WAYLAND_DISPLAY set and wl-copy found),
// X11 (DISPLAY set and xclip found, else xsel), and with neither display set
// but a terminal on standard error, OSC 52 written to that terminal. Helpers
// are looked up once in PATH and run by absolute path. None of these helpers
// can offer a second target next to the text, so the copy cannot carry the
// x-kde-passwordManagerHint that asks clipboard managers to skip it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "memory/secret.h"

enum class clip_kind { wayland, xclip, xsel, osc52 };

struct clip_backend {
    clip_kind kind = clip_kind::osc52;
    std::string copier;  // absolute path of wl-copy, xclip or xsel; empty for OSC 52
    std::string reader;  // wl-paste, or the copier; empty when nothing can read it back
    int terminal = -1;   // OSC 52: a descriptor of the terminal (not owned)
};

// What the choice depends on; empty texts for unset variables.
struct clip_environment {
    std::string wayland_display, display, path;
    bool terminal_on_stderr = false;
};

// The environment of this process.
clip_environment current_clip_environment();

// The backend to use, or nothing with `why` naming what to install or do.
std::optional<clip_backend> choose_backend(const clip_environment &env, std::string &why);

// Puts `text` on the clipboard. Prints what failed.
bool clip_write(const clip_backend &backend, std::string_view text);

// The text the clipboard holds now; nothing when it is empty, not text,
// larger than helper_output_limit or cannot be read (always so for OSC 52).
// Prints nothing.
std::optional<secret_string> clip_read(const clip_backend &backend);

// Empties the clipboard. Prints what failed.
bool clip_clear(const clip_backend &backend);

// ESC ] 52 ; c ; base64(text) BEL: a terminal that allows it puts `text` on
// the clipboard of the desktop it runs on; an empty text clears it.
secret_string osc52_sequence(std::string_view text);
