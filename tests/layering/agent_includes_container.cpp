// Compiled with the include roots of the agent's library only: the agent
// opens and seals its container through the vault, so the container's own
// headers must not be found.
#include "container/crypt.h"
