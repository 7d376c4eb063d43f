// Running the git program: from an argument vector (no shell ever reads a
// path), in a given folder (git -C), with the environment the person has,
// so that every transport, credential helper and ssh agent of theirs works
// as it does when they run git themselves.
#pragma once

#include <string>
#include <vector>

enum class git_output {
    shown,     // standard output and standard error go where ours go
    captured,  // standard output is returned; standard error is shown
    silent,    // standard output is returned; standard error is dropped
};

struct git_result {
    int status = -1;  // git's exit status; -1 when it did not run or was killed
    std::string out;  // standard output, unless shown
    bool ok() const { return status == 0; }
};

// `git -C folder args...`, waited for. A git that cannot be started is
// reported once ("Cannot run git: ..."). `extra_env` ("NAME=value") is
// added to the environment git inherits: a temporary index, say.
git_result run_git(const std::string &folder, const std::vector<std::string> &args,
                   git_output output, const std::vector<std::string> &extra_env = {});

// `text` without its final newline, as git prints a single value.
std::string first_line(const std::string &text);
