// Running a clipboard helper program (wl-copy, wl-paste, xclip, xsel).
//
// The text to copy goes to the helper's standard input through a pipe, never
// through its command line or environment; what it prints on standard output
// is caught in wiped memory. Helpers that stay in the background to serve the
// clipboard (xclip, xsel and wl-copy fork) keep nothing of ours open but the
// far end of their standard error pipe, so this returns as soon as the
// foreground process has ended; each helper runs in a session of its own, so
// that it outlives the terminal session of its caller. A helper that does not
// end in time is killed.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "memory/secret.h"

// The most a clipboard read takes in; more is refused as unreadable.
inline constexpr std::size_t helper_output_limit = 1 << 20;

struct helper_run {
    std::vector<std::string> argv;     // argv[0] is the program's absolute path
    std::string_view input;            // for standard input (empty: nothing)
    secret_string *output = nullptr;   // standard output; nullptr: /dev/null
    std::chrono::milliseconds timeout = std::chrono::seconds(5);
    bool quiet = false;                // print nothing when it fails
};

// True when the helper exited with status 0 in time (and its output fitted
// the limit). Otherwise, unless quiet, prints on standard error what went
// wrong with the helper's own error text.
bool run_helper(const helper_run &run);

// Closes every descriptor from 3 up, except those in `keep`; for a process
// about to exec or to live on detached.
void close_other_descriptors(std::initializer_list<int> keep = {});
