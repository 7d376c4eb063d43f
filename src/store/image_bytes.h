// A database file's bytes opened as a database that only reads them, with
// a bound on the work of reading.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/image_trust.h"
#include "store/sqlite_handles.h"

// The bound on the work of reading a file: virtual machine steps in
// proportion to its size, far above what reading kesp's table takes. A
// small hostile file thus ends within milliseconds. The quick check and
// the read run side by side on connections of their own, each counting
// its own calls; together they may make no more than `limit`.
struct work_budget {
    std::uint64_t limit;
    std::uint64_t calls = 0;
};

// A connection of its own over the file's bytes, which it only reads: the
// file may come from anyone, so its schema is not trusted to run
// functions, views or triggers, and no statement may rewrite it. Its work
// counts against `budget`. nullptr with the reason in `found` (or after a
// message, when no database in memory can be opened at all).
connection open_file_bytes(unsigned char *bytes, std::size_t size, const char *name,
                           work_budget &budget, finding &found);
