// The lineage (store/lineage.h) of an encrypted database file: read from
// the container once it is authenticated, and written into it under the
// same key (its salt stays, the IV is fresh). The key is the one that
// `password` gives, or kesp-agent's when `password` is null: the agent of
// the active database hands out the key of a container its password opens.
//
// Nothing here asks for a password. Plain bytes stay in wiped memory.
#pragma once

#include <string>

#include "store/lineage.h"

// A fresh identity (16 random bytes) at version 0.
db_lineage new_lineage();

// The identity as 32 hexadecimal digits, and back (nothing when `text` is
// not exactly that).
std::string lineage_identity_text(const db_lineage &lineage);
bool parse_lineage_identity(const std::string &text, db_lineage &out);

// 1 the container at `path` opened (its lineage, or that it has none, in
// `status` and `out`), 0 the key does not open it (a wrong password and
// damaged data alike; silent), -1 failed after a message.
int container_lineage(const std::string &path, const char *password, lineage_status &status,
                      db_lineage &out);

// The container at `path`, opened as above, written again durably with
// `lineage` as its lineage. False after a message; the file is then as it
// was.
bool stamp_container(const std::string &path, const char *password, const db_lineage &lineage);
