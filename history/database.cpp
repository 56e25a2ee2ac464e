// The URL read once, then every statement handed to the engine it names.
#include "history/database.h"

#include "history/database_engine.h"

int HistoryOpen(std::string_view url, HistoryDatabase*& db, std::string& error) {
    db = nullptr;
    HistoryDatabase opened;
    int status = HistoryBadInput;
    if (url.starts_with("sqlite:")) {
        const std::string path(url.substr(7));
        if (path.empty()) {
            error = "--database \"" + std::string(url) + "\": sqlite: names no file";
            return HistoryBadInput;
        }
        status = SqliteOpen(path, opened, error);
    } else if (url.starts_with("postgresql://") || url.starts_with("postgres://")) {
        status = PostgresOpen(std::string(url), opened, error);
    } else {
        error = "--database \"" + std::string(url) +
                "\": not a database URL (sqlite:PATH or postgresql://...)";
        return HistoryBadInput;
    }
    if (status != 0) return status;
    db = new HistoryDatabase(opened);
    return 0;
}

void HistoryClose(HistoryDatabase* db) {
    if (db == nullptr) return;
    db->hooks->close(db->handle);
    delete db;
}

const char* HistoryEngine(const HistoryDatabase* db) {
    return db->hooks->name;
}

int HistoryExec(HistoryDatabase* db, const std::string& sql, const std::vector<DbValue>& params,
                std::vector<DbRow>* rows, std::string& error) {
    if (rows != nullptr) rows->clear();
    return db->hooks->exec(db->handle, sql, params, rows, error);
}

int HistoryQueue(HistoryDatabase* db, const std::string& sql, const std::vector<DbValue>& params,
                 std::string& error) {
    if (db->hooks->queue == nullptr)
        return db->hooks->exec(db->handle, sql, params, nullptr, error);
    return db->hooks->queue(db->handle, sql, params, error);
}

int HistoryAnalyze(HistoryDatabase* db, std::string& error) {
    // SQLite reads a sample of each index (quick on any size); PostgreSQL
    // samples each table on its own.
    if (std::string_view(HistoryEngine(db)) == "sqlite" &&
        HistoryExec(db, "PRAGMA analysis_limit = 1000", error) != 0) {
        return HistoryDatabaseFailure;
    }
    return HistoryExec(db, "ANALYZE", error);
}

int HistoryBegin(HistoryDatabase* db, std::string& error) {
    return HistoryExec(db, "BEGIN", error);
}

int HistoryCommit(HistoryDatabase* db, std::string& error) {
    return HistoryExec(db, "COMMIT", error);
}

void HistoryRollback(HistoryDatabase* db) {
    std::string ignored;
    HistoryExec(db, "ROLLBACK", ignored);
}
