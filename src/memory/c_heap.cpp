#include "memory/c_heap.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "memory/secret.h"

void *wiping_malloc(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

void wiping_free(void *block) {
    if (block != nullptr) free_secret(block, ::malloc_usable_size(block));
}

void *wiping_realloc(void *block, std::size_t size) {
    if (block != nullptr && size != 0 && ::malloc_usable_size(block) >= size) return block;
    // Never realloc(): it would free the old block unwiped.
    void *moved = wiping_malloc(size);
    if (moved == nullptr) return nullptr;
    if (block != nullptr) std::memcpy(moved, block, std::min(::malloc_usable_size(block), size));
    wiping_free(block);
    return moved;
}

std::size_t wiping_block_size(void *block) {
    return block != nullptr ? ::malloc_usable_size(block) : 0;
}
