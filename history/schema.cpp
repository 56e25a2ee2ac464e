// The migrations, numbered from 1 and never edited once released: a change
// of the schema is a new entry at the end. The same SQL serves SQLite and
// PostgreSQL (text, integers and primary keys only).
#include "history/schema.h"

#include <vector>

namespace {

const std::vector<std::vector<const char*>> Migrations = {
    // 1: runs of the stations and traced service sessions, their operations,
    // the changes written to boards, and the boards each record saw.
    {
        "CREATE TABLE runs ("
        " run_key TEXT PRIMARY KEY,"  // the run id, or the trace session's identity
        " kind TEXT NOT NULL,"        // 'station' or 'service'
        " serial TEXT, model TEXT, started TEXT, ended TEXT,"
        " station TEXT, host TEXT, program TEXT, program_version TEXT, operator TEXT,"
        " job TEXT, job_sha256 TEXT, outcome TEXT, exit_code INTEGER, error TEXT,"
        " labels TEXT, source TEXT NOT NULL, source_line INTEGER NOT NULL)",
        "CREATE TABLE operations ("
        " run_key TEXT NOT NULL REFERENCES runs(run_key), seq INTEGER NOT NULL,"
        " op TEXT, device TEXT, board INTEGER, outcome TEXT, started TEXT, ended TEXT,"
        " duration_ms INTEGER, failure TEXT, image_name TEXT, image_bytes INTEGER,"
        " image_sha256 TEXT, old_version TEXT, new_version TEXT, download TEXT,"
        " PRIMARY KEY (run_key, seq))",
        "CREATE TABLE changes ("
        " run_key TEXT NOT NULL REFERENCES runs(run_key), seq INTEGER NOT NULL,"
        " op_seq INTEGER, at TEXT, device TEXT, board INTEGER, field TEXT, value TEXT,"
        " verdict TEXT, words TEXT NOT NULL, PRIMARY KEY (run_key, seq))",
        "CREATE TABLE boards ("
        " run_key TEXT NOT NULL REFERENCES runs(run_key), address INTEGER NOT NULL,"
        " type TEXT, serial TEXT, code_version TEXT, PRIMARY KEY (run_key, address))",
        // An index for every question: an instrument's timeline, a board's
        // instrument, a period's runs.
        "CREATE INDEX runs_by_serial ON runs (serial, started)",
        "CREATE INDEX runs_by_start ON runs (started)",
        "CREATE INDEX boards_by_serial ON boards (serial)",
    },
    // 2: indexes that answer the yield from the index alone on a large
    // history: an instrument's runs in order with their outcomes (its first
    // station run, its last up to a date), a period's instruments, a period's
    // failed runs (few, so that index is small).
    {
        "DROP INDEX runs_by_serial",
        "DROP INDEX runs_by_start",
        "CREATE INDEX runs_by_instrument ON runs (serial, kind, started, run_key, outcome)",
        "CREATE INDEX runs_by_period ON runs (kind, started, serial)",
        "CREATE INDEX runs_failed ON runs (kind, started, outcome)"
        " WHERE outcome IS NULL OR outcome <> 'done'",
    },
    // 3: each instrument's first station run ever (what the yield groups and
    // counts it by) and its last, kept up to date by the import, so that a
    // period's yield reads one row per instrument instead of seeking its
    // runs; filled here from the runs already stored. A period's instruments
    // are then read from this table: their index on the runs goes.
    {
        "DROP INDEX runs_by_period",
        "CREATE TABLE instruments ("
        " serial TEXT PRIMARY KEY,"
        " first_key TEXT NOT NULL, first_started TEXT NOT NULL, first_outcome TEXT,"
        " first_job TEXT, first_model TEXT, first_station TEXT,"
        " last_key TEXT NOT NULL, last_started TEXT NOT NULL, last_outcome TEXT)",
        "INSERT INTO instruments (serial, first_key, first_started, first_outcome, first_job,"
        " first_model, first_station, last_key, last_started, last_outcome)"
        " SELECT f.serial, f.run_key, f.started, f.outcome, f.job, f.model, f.station,"
        " l.run_key, l.started, l.outcome FROM"
        " (SELECT serial, run_key, started, outcome, job, model, station, ROW_NUMBER() OVER"
        " (PARTITION BY serial ORDER BY started, run_key) AS n FROM runs WHERE kind = 'station'"
        " AND serial IS NOT NULL AND started IS NOT NULL) f JOIN"
        " (SELECT serial, run_key, started, outcome, ROW_NUMBER() OVER"
        " (PARTITION BY serial ORDER BY started DESC, run_key DESC) AS n FROM runs"
        " WHERE kind = 'station' AND serial IS NOT NULL AND started IS NOT NULL) l"
        " ON l.serial = f.serial AND l.n = 1 WHERE f.n = 1",
        "CREATE INDEX instruments_by_first ON instruments (first_started)",
    },
};

}  // namespace

int HistorySchemaVersion() {
    return static_cast<int>(Migrations.size());
}

int MigrateHistory(HistoryDatabase* db, std::string& error) {
    if (HistoryExec(db,
                    "CREATE TABLE IF NOT EXISTS history_schema (version INTEGER PRIMARY KEY,"
                    " applied TEXT NOT NULL)",
                    error) != 0) {
        return HistoryDatabaseFailure;
    }
    std::vector<DbRow> rows;
    if (HistoryExec(db, "SELECT MAX(version) FROM history_schema", {}, &rows, error) != 0) {
        return HistoryDatabaseFailure;
    }
    const int have = rows.empty() || !rows[0][0] ? 0 : std::stoi(*rows[0][0]);
    if (have > HistorySchemaVersion()) {
        error = "the database has schema version " + std::to_string(have) +
                ", written by a newer quillon-history; this one knows versions up to " +
                std::to_string(HistorySchemaVersion());
        return HistoryBadInput;
    }
    for (int version = have + 1; version <= HistorySchemaVersion(); ++version) {
        if (HistoryBegin(db, error) != 0) return HistoryDatabaseFailure;
        for (const char* sql : Migrations[static_cast<std::size_t>(version - 1)]) {
            if (HistoryExec(db, sql, error) != 0) {
                HistoryRollback(db);
                return HistoryDatabaseFailure;
            }
        }
        if (HistoryExec(db,
                        "INSERT INTO history_schema (version, applied) VALUES (?, "
                        "CAST(CURRENT_TIMESTAMP AS TEXT))",
                        {std::to_string(version)}, nullptr, error) != 0 ||
            HistoryCommit(db, error) != 0) {
            HistoryRollback(db);
            return HistoryDatabaseFailure;
        }
    }
    return 0;
}
