// The store's operations on a db_handle: each opens the file the vault
// checked, as its path form does.
#include "store/db.h"
#include "store/db_handle.h"
#include "store/history.h"

db_handle db_handle_for(const char *path) { return db_handle(path); }

entry *db_list_entries(const db_handle &db, int count) {
    return db_list_entries(db.name(), count);
}

bool db_visit_entries(const db_handle &db, int count, entry_visitor visit, void *context) {
    return db_visit_entries(db.name(), count, visit, context);
}

bool db_visit_found(const db_handle &db, const char *search, entry_visitor visit, void *context) {
    return db_visit_found(db.name(), search, visit, context);
}

entry *db_get_entry(const db_handle &db, int id) { return db_get_entry(db.name(), id); }

bool db_delete_entry(const db_handle &db, int id, bool *changed) {
    return db_delete_entry(db.name(), id, changed);
}

bool db_import(const db_handle &db, const entry *first,
               const std::vector<std::vector<history_version>> *histories,
               const std::vector<removed_versions> *removed,
               const std::vector<entry_replacement> &replacements, std::size_t &removals_added) {
    return db_import(db.name(), first, histories, removed, replacements, removals_added);
}

std::optional<std::vector<history_version>> history_latest(const db_handle &db, int count) {
    return history_latest(db.name(), count);
}

std::optional<history_owner> history_find_owner(const db_handle &db, std::string_view handle,
                                                bool &failed) {
    return history_find_owner(db.name(), handle, failed);
}

std::optional<std::vector<history_version>> history_versions(const db_handle &db,
                                                             const history_owner &owner) {
    return history_versions(db.name(), owner);
}

bool history_visit_passwords(const db_handle &db, earlier_password_visitor visit, void *context) {
    return history_visit_passwords(db.name(), visit, context);
}

std::optional<versions_by_entry> history_by_entry(const db_handle &db) {
    return history_by_entry(db.name());
}

std::optional<versions_by_removal> history_removed(const db_handle &db) {
    return history_removed(db.name());
}
