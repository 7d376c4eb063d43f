#include "store/image_jobs.h"

#include "store/image_sql.h"

namespace {

const char *const select_rows_above =
    "select id,title,user,url,password,notes,timestamp from entries where id>?1 order by id;";

}  // namespace

bool hand_rows(sqlite3 *db, sqlite3_stmt *rows, const char *name,
               bool (*row)(void *context, const image_row &row), void *context,
               finding &found) {
    int rc;
    while ((rc = sqlite3_step(rows)) == SQLITE_ROW) {
        const image_row r{sqlite3_column_int64(rows, 0), column_text(rows, 1),
                          column_text(rows, 2),          column_text(rows, 3),
                          column_text(rows, 4),          column_text(rows, 5),
                          column_text(rows, 6)};
        if (!row(context, r)) return false;
    }
    return rc == SQLITE_DONE || not_kesp(name, db, found);
}

void quick_check_job::work(void *self) {
    auto *job = static_cast<quick_check_job *>(self);
    connection db = open_file_bytes(job->bytes_, job->size_, job->name_, job->budget_, job->found_);
    job->passed_ = db && passes_quick_check(db.get(), job->name_, job->found_);
}

upper_rows_job::~upper_rows_job() {
    job_.finish();
    if (second_ != nullptr) reader_.rejoin(reader_.context, second_, false);
}

void upper_rows_job::rejoin() {
    reader_.rejoin(reader_.context, second_, true);
    second_ = nullptr;
}

void upper_rows_job::work(void *self) {
    auto *job = static_cast<upper_rows_job *>(self);
    connection db = open_file_bytes(job->bytes_, job->size_, job->name_, job->budget_, job->found_);
    if (!db) return;
    statement rows = prepare(db.get(), select_rows_above);
    if (!rows || sqlite3_bind_int64(rows.get(), 1, job->after_) != SQLITE_OK) {
        not_kesp(job->name_, db.get(), job->found_);
        return;
    }
    job->read_ = hand_rows(db.get(), rows.get(), job->name_, job->reader_.row, job->second_,
                           job->found_);
}
