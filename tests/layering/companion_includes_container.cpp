// Compiled with the include roots of a companion: the container's format
// is the vault's business, so this include must not be found.
#include "container/container.h"
