// What every program of the suite does first, before it parses its
// command line: the same secret policy everywhere.
#pragma once

// Allocation failure ends in "Malloc failed. Abort.\n" and abort(); no core
// file and no debugger of the same user can read the process; standard
// input has no buffer and standard output a wiped one; SQLite's heap is
// wiped on release; OpenSSL builds no tables of legacy algorithm names,
// since no program here looks an algorithm up by name.
void start_program();
