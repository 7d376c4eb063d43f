// Compiled with the include roots of kesp's command library only: the
// commands reach database files through the vault, never the container
// format itself, so this include must not be found.
#include "container/crypt.h"
