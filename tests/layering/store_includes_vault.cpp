// Compiled with the include roots of the store library only: the store
// stands below the vault, so this include must not be found.
#include "vault/session.h"
