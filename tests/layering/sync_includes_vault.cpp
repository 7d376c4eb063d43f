// The same include roots find the vault's detection, the door sync uses.
#include "vault/detect.h"
#include "sync/git.h"
