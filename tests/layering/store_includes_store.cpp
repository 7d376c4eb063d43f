// The same include roots find the store's own headers and those below it.
#include "store/db.h"
#include "memory/secret.h"
