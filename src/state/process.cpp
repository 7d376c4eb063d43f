#include "state/process.h"

#include "memory/secret.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <sys/prctl.h>
#include <sys/resource.h>

void harden_process() {
    rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

namespace {

// glibc ignores a size given without a buffer, so the buffer is ours.
char stdout_buffer[1 << 16];

void wipe_stdout_buffer() {
    std::fflush(stdout);
    wipe(stdout_buffer, sizeof stdout_buffer);
}

}  // namespace

void use_wiped_stdio() {
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    // Listings sent to a file or a pipe can run to megabytes: large writes
    // make them cheaper. A terminal keeps its line buffering, and every
    // prompt is flushed where it is written.
    int mode = ::isatty(STDOUT_FILENO) == 1 ? _IOLBF : _IOFBF;
    std::setvbuf(stdout, stdout_buffer, mode, sizeof stdout_buffer);
    std::atexit(wipe_stdout_buffer);
}
