// Process-wide protections that every program of the suite sets up first.
#pragma once

// Sets the core-file size limit to zero and marks the process non-dumpable:
// no core file can carry a typed master password away, and other processes
// of the same user cannot attach to read it.
void harden_process();

// Gives standard output a buffer of the program's own (line-buffered on a
// terminal, fully buffered elsewhere) that is wiped at exit: printed
// passwords and notes must not stay behind in stdio's own heap block. Also
// takes standard input's buffer away, so that no copy of a typed secret
// stays in one. Call before anything is read or printed.
void use_wiped_stdio();
