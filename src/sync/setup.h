// kesp-sync's set-up of a repository (sync_init, sync/sync.h) and the check
// that every sync run makes of it.
#pragma once

#include "sync/repository.h"

// Where init records the database in the repository's own configuration.
inline constexpr const char *database_key = "kesp.database";

// Set up by init: the driver, the hooks (brought up to date when they are
// ours) and the database recorded. The filter is set anew, with this
// program's path (`self`). False after saying what is missing.
bool set_up(const tracked_db &db, const char *self);
