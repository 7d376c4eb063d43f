#include "store/image_bytes.h"

#include "state/test_hooks.h"
#include "store/image_sql.h"

namespace {

constexpr int steps_per_check = 1000;

int count_work(void *context) {
    auto *budget = static_cast<work_budget *>(context);
    test_count_work("sqlite-steps", 1);
    return ++budget->calls > budget->limit ? 1 : 0;
}

}  // namespace

connection open_file_bytes(unsigned char *bytes, std::size_t size, const char *name,
                           work_budget &budget, finding &found) {
    connection db = open_memory_db(nullptr);
    if (!db) return nullptr;  // said at once
    sqlite3 *raw = db.get();
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    sqlite3_progress_handler(raw, steps_per_check, count_work, &budget);
    if (sqlite3_deserialize(raw, "main", bytes, static_cast<sqlite3_int64>(size),
                            static_cast<sqlite3_int64>(size), SQLITE_DESERIALIZE_READONLY) !=
        SQLITE_OK) {
        not_kesp(name, raw, found);
        return nullptr;
    }
    // Pages are read where they lie instead of being copied into the cache.
    sqlite3_exec(raw, "pragma mmap_size=9223372036854775807;", nullptr, nullptr, nullptr);
    return db;
}
