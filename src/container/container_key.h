// A container's key once derived, with the salt it was derived from: what
// opens a container again and seals new ones without another derivation.
#pragma once

#include "container/format.h"
#include "memory/secret.h"

// Wiped when it goes out of scope.
struct container_key {
    wiped_array<container_format::key_size> key;
    wiped_array<container_format::salt_size> salt;
};
