// Console input: visible fields read as plain lines, secrets read with echo
// off. Prompts go to standard output without a newline and are flushed
// before the program waits.
#pragma once

#include <cstddef>
#include <cstdio>

#include "memory/secret.h"

// Size of every input buffer; a field or secret holds at most 1023 bytes.
constexpr std::size_t input_buffer_size = 1024;

enum class secret_status {
    ok,            // a line was read (possibly empty)
    no_terminal,   // the stream is not a terminal: nothing was printed or read
    too_long,      // the line did not fit; the message was printed, buffer empty
    end_of_input,  // the input ended before a character was typed (Ctrl-D)
};

// Reads one line from `stream` into `line` (capacity bytes, holding the empty
// text on entry) with terminal echo off. The final newline is removed, nothing
// else is trimmed; a newline is printed afterwards because Enter was not
// echoed. The terminal is restored on every path, and also when the process is
// killed by SIGINT, SIGTERM, SIGHUP or SIGQUIT while echo is off.
// A line longer than capacity - 1 bytes is consumed and refused with
// "Input too long: at most 1023 characters are accepted.\n" on standard error.
secret_status read_secret(const char *prompt, char *line, std::size_t capacity,
                          std::FILE *stream);

// The same with the prompt and the newline after the line on `shown`
// rather than on standard output: for a secret read from the terminal
// itself (/dev/tty), whose prompt must reach the person whatever standard
// output is connected to. `stream` should be unbuffered, so that no stdio
// buffer keeps a copy of the line.
secret_status read_secret_shown_on(const char *prompt, char *line, std::size_t capacity,
                                   std::FILE *stream, std::FILE *shown);

// Writes `prompt`, then reads with fgets into the zero-filled 1024-byte
// `buffer`: at most 1023 bytes, keeping the newline; the rest of a longer
// line is left for the next reader. False, the buffer empty and a newline
// written, when the input ended before a character was read (Ctrl-D on a
// terminal): that is no answer, and the caller gives up. The end is not remembered, so a later
// prompt on a terminal waits for the person again.
bool read_field(const char *prompt, char *buffer);

// Removes every '\n' from `buffer` in place.
void strip_newlines(char *buffer);

// Fixed buffer for a secret typed at the console, wiped when it goes away.
using secret_buffer = wiped_array<input_buffer_size, char>;
