// Placeholder until the store lands.
#include "store/db.h"
bool db_init(const char *) { return false; }
bool db_check_integrity(const char *) { return false; }
bool db_insert_entry(const entry *) { return false; }
bool db_update_entry(int, const entry *) { return false; }
entry *db_get_entry(int) { return nullptr; }
bool db_delete_entry(int, bool *) { return false; }
entry *db_list_entries(int) { return nullptr; }
entry *db_find_entries(const char *) { return nullptr; }
