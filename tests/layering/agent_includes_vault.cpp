// The same include roots find the vault's opening and sealing with a kept
// key, and the agent's own headers.
#include "agent/holder.h"
#include "vault/kept_key.h"
