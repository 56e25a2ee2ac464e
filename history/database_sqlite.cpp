// The SQLite engine: one file, statements prepared once and kept, since an
// import runs the same few inserts for every record.
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "history/database_engine.h"

namespace {

struct Sqlite {
    sqlite3* db = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statements;
};

void Close(void* handle) {
    Sqlite* s = static_cast<Sqlite*>(handle);
    for (auto& [sql, statement] : s->statements) sqlite3_finalize(statement);
    sqlite3_close(s->db);
    delete s;
}

int Exec(void* handle, const std::string& sql, const std::vector<DbValue>& params,
         std::vector<DbRow>* rows, std::string& error) {
    Sqlite* s = static_cast<Sqlite*>(handle);
    sqlite3_stmt*& statement = s->statements[sql];
    if (statement == nullptr &&
        sqlite3_prepare_v2(s->db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(s->db);
        s->statements.erase(sql);
        return HistoryDatabaseFailure;
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    for (std::size_t i = 0; i < params.size(); ++i) {
        const int at = static_cast<int>(i) + 1;
        if (params[i]) {
            // The values outlive the statement's run: bound where they are.
            sqlite3_bind_text(statement, at, params[i]->data(), static_cast<int>(params[i]->size()),
                              SQLITE_STATIC);
        } else {
            sqlite3_bind_null(statement, at);
        }
    }
    for (;;) {
        const int step = sqlite3_step(statement);
        if (step == SQLITE_DONE) break;
        if (step != SQLITE_ROW) {
            error = sqlite3_errmsg(s->db);
            sqlite3_reset(statement);
            return HistoryDatabaseFailure;
        }
        if (rows == nullptr) continue;
        DbRow row;
        const int columns = sqlite3_column_count(statement);
        for (int c = 0; c < columns; ++c) {
            if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
                row.emplace_back();
            } else {
                const unsigned char* text = sqlite3_column_text(statement, c);
                row.emplace_back(
                    std::string(reinterpret_cast<const char*>(text),
                                static_cast<std::size_t>(sqlite3_column_bytes(statement, c))));
            }
        }
        rows->push_back(std::move(row));
    }
    sqlite3_reset(statement);
    return 0;
}

const HistoryEngineHooks Hooks = {"sqlite", Close, Exec, nullptr};

}  // namespace

int SqliteOpen(const std::string& path, HistoryDatabase& db, std::string& error) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
    Sqlite* s = new Sqlite;
    if (sqlite3_open_v2(path.c_str(), &s->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        error = "cannot open " + path + ": " + sqlite3_errmsg(s->db);
        Close(s);
        return HistoryDatabaseFailure;
    }
    // A second importer waits for the first one's transaction rather than failing.
    sqlite3_busy_timeout(s->db, 10000);
    char* message = nullptr;
    // In WAL mode a commit is safe from corruption with synchronous NORMAL
    // (a power cut may lose the last commit, which the results file still
    // holds); a larger page cache keeps a big file's import from writing the
    // same index pages again and again.
    if (sqlite3_exec(s->db,
                     "PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL;"
                     " PRAGMA synchronous = NORMAL; PRAGMA cache_size = -65536;",
                     nullptr, nullptr, &message) != SQLITE_OK) {
        error = "cannot open " + path + ": " + (message != nullptr ? message : "?");
        sqlite3_free(message);
        Close(s);
        return HistoryDatabaseFailure;
    }
    db.hooks = &Hooks;
    db.handle = s;
    return 0;
}
