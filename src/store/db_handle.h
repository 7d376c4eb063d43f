// What the store's operations on a database file take in place of its
// path above the vault.
#pragma once

#include <string>

// A database file the vault has resolved and checked, handed to the
// store's operations in place of its path: only the vault makes one, with
// db_handle_for, so nothing above it names a database file to open.
class db_handle {
public:
    // The file's name, for messages and for the store that opens it.
    const char *name() const { return path_.c_str(); }

private:
    explicit db_handle(const char *path) : path_(path) {}
    friend db_handle db_handle_for(const char *path);
    std::string path_;
};

#ifdef KESP_OPENS_DATABASE_FILES
// The handle of the database file at `path`, for the vault to hand out.
db_handle db_handle_for(const char *path);
#endif
