// The include roots of a companion find its own skeleton and the vault,
// the door to every database file.
#include "companions/companion.h"
#include "vault/db_file.h"
