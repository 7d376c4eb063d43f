// The include roots of kesp's command library find the vault, its one door
// to database files.
#include "vault/activation.h"
#include "vault/detect.h"
