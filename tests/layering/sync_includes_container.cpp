// Compiled with the include roots of the sync library only: sync tells a
// container from a plain database through the vault, so the container's
// own format must not be found.
#include "container/format.h"
