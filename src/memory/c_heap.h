// A heap for C libraries that keep secrets in memory they allocate
// themselves (SQLite's pages and rows, libcsv's field buffer, pugixml's
// document): every block is wiped before it is freed, and also when it is
// moved by a reallocation. The size of a block comes from the allocator
// (malloc_usable_size), so callers need not remember it.
//
// These return nullptr when the heap is exhausted, as the C libraries
// expect; wrap them where a library cannot handle that.
#pragma once

#include <cstddef>

void *wiping_malloc(std::size_t size);
void wiping_free(void *block);
void *wiping_realloc(void *block, std::size_t size);

// Usable size of a block from wiping_malloc (0 for nullptr).
std::size_t wiping_block_size(void *block);
