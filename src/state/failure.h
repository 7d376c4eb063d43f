// A failure as a value: what the code that failed has to say (the very
// words it prints otherwise), the errno behind it and the file it concerns,
// handed to a caller that prints it at the program's edge or gives it in a
// sentence of its own (kesp-agent's reply to the program that asked).
//
// The container and file replacement return their failures instead
// (state/status.h). The layers that still report where a failure is found
// (the store; warnings that do not stop the step) go through say_failure(),
// which without a capture prints on standard error at once, as it always
// did; while a failure_capture lives, the words are kept in it instead, in
// order, whichever thread of the process says them. A capture started
// inside another keeps its own words; the outer one goes on when it ends.
#pragma once

#include <string>
#include <string_view>

struct failure {
    std::string said;  // every message, each ending in a newline; empty: nothing was said
    int error = 0;     // errno of the first message that came with one
    std::string file;  // the file the failed step worked on, when known
};

// Says `text` (a whole message, newline included) on standard error, or
// keeps it in the live capture. `error` is the errno it reports, or 0.
void say_failure(std::string_view text, int error = 0);

// say_failure of a message made from `format` as printf makes it.
[[gnu::format(printf, 1, 2)]] void say_failuref(const char *format, ...);

// Prints what `f` holds on standard error, byte for byte as said.
void print_failure(const failure &f);

// The messages of `f` as one line: trailing newlines dropped, those in
// between turned into ';'. `otherwise` when nothing was said.
std::string failure_line(const failure &f, std::string_view otherwise);

class failure_capture {
public:
    failure_capture();
    ~failure_capture();  // what is still kept is dropped, never printed
    failure_capture(const failure_capture &) = delete;
    failure_capture &operator=(const failure_capture &) = delete;

    // What was said since the capture started (or was last taken), with
    // `file` recorded; the capture goes on, empty.
    failure take(std::string file = {});

private:
    failure outer_;
    bool outer_capturing_ = false;
};
