// Checks inside fuzz targets: a broken property aborts, so that libFuzzer
// keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,     \
                         #condition);                                                  \
            std::abort();                                                              \
        }                                                                              \
    } while (0)
