// The history's database: SQLite (a file) or PostgreSQL (a site's server)
// behind the same few procedures. Statements are written once, with "?" for
// each parameter; every value goes in and comes out as text or NULL, so that
// both engines answer the program's questions in the same words.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct HistoryDatabase;  // one open connection; owned by the caller until HistoryClose

using DbValue = std::optional<std::string>;
using DbRow = std::vector<DbValue>;

enum HistoryExit : int {
    HistoryOk = 0,
    HistoryDatabaseFailure = 1,  // the database refused, failed or is away
    HistoryBadInput = 2,         // a bad URL, option, file or line; a newer schema
};

// Opens the database a URL names: "sqlite:PATH" (the file is made on first
// use) or "postgresql://..." / "postgres://..." (libpq's URI). Returns 0, 2
// for a URL that is neither or does not parse, 1 when the engine refuses (no
// server, a wrong password, a file that cannot be opened); error then says
// why, in one line.
int HistoryOpen(std::string_view url, HistoryDatabase*& db, std::string& error);
void HistoryClose(HistoryDatabase* db);
// "sqlite" or "postgresql".
const char* HistoryEngine(const HistoryDatabase* db);

// Runs one statement; rows (when given) receives what it returns. Returns 0,
// or 1 with the engine's message in error (one line).
int HistoryExec(HistoryDatabase* db, const std::string& sql, const std::vector<DbValue>& params,
                std::vector<DbRow>* rows, std::string& error);
inline int HistoryExec(HistoryDatabase* db, const std::string& sql, std::string& error) {
    return HistoryExec(db, sql, {}, nullptr, error);
}
// Runs a statement whose answer is not needed, perhaps only with the next
// HistoryExec (PostgreSQL sends it without waiting for the server), which
// then returns its failure: use it inside a transaction that a failure
// rolls back whole. Returns 0, or 1 with the engine's message.
int HistoryQueue(HistoryDatabase* db, const std::string& sql, const std::vector<DbValue>& params,
                 std::string& error);

// Refreshes the statistics the engine plans its queries with (after an
// import that added many records). Returns 0, or 1 with the engine's message.
int HistoryAnalyze(HistoryDatabase* db, std::string& error);

// A transaction around one file's records.
int HistoryBegin(HistoryDatabase* db, std::string& error);
int HistoryCommit(HistoryDatabase* db, std::string& error);
void HistoryRollback(HistoryDatabase* db);
