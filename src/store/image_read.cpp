#include "store/image.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include <sqlite3.h>

#include "state/failure.h"
#include "state/files.h"
#include "store/history.h"
#include "store/image_bytes.h"
#include "store/image_jobs.h"
#include "store/image_sql.h"
#include "store/image_trust.h"
#include "store/schema.h"

namespace {

const char *const count_rows = "select count(*) from entries;";
const char *const select_rows =
    "select id,title,user,url,password,notes,timestamp from entries order by id;";
// A table this long is read in two parts side by side, split at the id
// halfway between the least and the greatest.
constexpr std::int64_t rows_to_split = 4096;
// Each in a query of its own, where SQLite reads one end of the table.
const char *const select_id_range =
    "select (select min(id) from entries), (select max(id) from entries);";
const char *const select_rows_up_to =
    "select id,title,user,url,password,notes,timestamp from entries where id<=?1 order by id;";

// The record's versions, oldest first, handed to the reader after the
// rows; nothing when the file holds no record.
bool visit_versions(sqlite3 *db, const char *name, const image_reader &reader, finding &found) {
    statement has = prepare(db, "select sql from sqlite_schema where type='table' and "
                                "name='history';");
    if (!has) return not_kesp(name, db, found);
    const int rc_has = sqlite3_step(has.get());
    if (rc_has == SQLITE_DONE) return true;
    if (rc_has != SQLITE_ROW) return not_kesp(name, db, found);
    if (column_text(has.get(), 0) != history_table_statement)
        return refuse(name, foreign_history_reason, found);
    if (reader.record != nullptr) *reader.record = true;
    statement rows = prepare(db, "select entry_id,gone,title,user,url,password,notes,timestamp,"
                                 "replaced,why from history order by seq;");
    if (!rows) return not_kesp(name, db, found);
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        sqlite3_stmt *s = rows.get();
        const image_version v{sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                              column_text(s, 2), column_text(s, 3), column_text(s, 4),
                              column_text(s, 5), column_text(s, 6), column_text(s, 7),
                              column_text(s, 8), column_text(s, 9)};
        if (!reader.version(reader.context, v)) return false;
    }
    return rc == SQLITE_DONE || not_kesp(name, db, found);
}

}  // namespace

bool db_image_visit(unsigned char *bytes, std::size_t size, const char *name,
                    const image_reader &reader) {
    // The in-memory file has no log beside it; in WAL mode SQLite would look
    // for one (header bytes 18 and 19 are the read and write versions).
    if (size >= 100 && starts_with_sqlite_header(bytes, size) && bytes[18] == 2 && bytes[19] == 2)
        bytes[18] = bytes[19] = 1;
    const std::uint64_t limit = 1000 + size / 4;
    work_budget budget{limit};
    finding found;
    auto refused = [&]() {
        say_failure(found.said.c_str());
        return false;
    };
    connection db = open_file_bytes(bytes, size, name, budget, found);
    if (!db) return refused();
    sqlite3 *raw = db.get();
    if (!schema_is_plain(raw, name, found)) return refused();

    // The quick check and the read go side by side; the check has the say.
    // The read was bounded by what the check left of the budget: a read
    // that went beyond it is refused as the work's bound refuses it.
    quick_check_job check(bytes, size, name, limit - std::min(limit, budget.calls));
    check.start();
    std::unique_ptr<upper_rows_job> upper;
    auto read = [&]() {
        if (!has_kesp_columns(raw, name, found)) return false;
        statement count = prepare(raw, count_rows);
        if (!count || sqlite3_step(count.get()) != SQLITE_ROW) return not_kesp(name, raw, found);
        const std::int64_t rows = sqlite3_column_int64(count.get(), 0);
        reader.expect(reader.context, static_cast<std::size_t>(rows));
        // A long table: the rows above the middle id go to the reader's
        // second part on another core, and join the first part's after it.
        std::int64_t up_to = 0;
        if (reader.split != nullptr && rows >= rows_to_split) {
            statement range = prepare(raw, select_id_range);
            if (!range || sqlite3_step(range.get()) != SQLITE_ROW)
                return not_kesp(name, raw, found);
            const std::int64_t least = sqlite3_column_int64(range.get(), 0);
            const std::int64_t most = sqlite3_column_int64(range.get(), 1);
            // Halfway, in arithmetic that cannot overflow whatever the ids.
            const auto low = static_cast<std::uint64_t>(least);
            up_to = static_cast<std::int64_t>(low + (static_cast<std::uint64_t>(most) - low) / 2);
            void *second = up_to < most ? reader.split(reader.context) : nullptr;
            if (second != nullptr) {
                upper = std::make_unique<upper_rows_job>(bytes, size, name,
                                                         limit - std::min(limit, budget.calls),
                                                         reader, second, up_to);
                upper->start();
            }
        }
        statement lower = prepare(raw, upper ? select_rows_up_to : select_rows);
        if (!lower || (upper && sqlite3_bind_int64(lower.get(), 1, up_to) != SQLITE_OK))
            return not_kesp(name, raw, found);
        if (!hand_rows(raw, lower.get(), name, reader.row, reader.context, found)) return false;
        if (upper) {
            if (!upper->read()) {
                found = upper->found();
                return false;
            }
            upper->rejoin();
        }
        if (reader.version != nullptr && !visit_versions(raw, name, reader, found)) return false;
        if (reader.lineage == nullptr) return true;
        reader.lineage->status = db_lineage_read(raw, reader.lineage->lineage);
        return reader.lineage->status != lineage_status::failed || not_kesp(name, raw, found);
    };
    const bool was_read = read();
    if (upper) upper->finish();
    if (!check.passed()) {
        found = check.found();
        return refused();
    }
    const std::uint64_t spent = budget.calls + check.calls() + (upper ? upper->calls() : 0);
    if (spent > limit) {
        found.fail(not_kesp_message(name, "reading it takes far longer than its size allows"));
        return refused();
    }
    return was_read || refused();
}
