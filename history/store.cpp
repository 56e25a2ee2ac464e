// A record into the tables: the run first, keyed by its run id, so that a
// record met again (a file imported twice, a grown file) adds nothing.
#include "history/record.h"

namespace {

// Built once: an import runs these for every record.
const std::string InsertRun =
    "INSERT INTO runs (run_key, kind, serial, model, started, ended, station, host,"
    " program, program_version, operator, job, job_sha256, outcome, exit_code,"
    " error, labels, source, source_line) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
    " ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (run_key) DO NOTHING RETURNING 1";
const std::string InsertOperation =
    "INSERT INTO operations (run_key, seq, op, device, board, outcome,"
    " started, ended, duration_ms, failure, image_name, image_bytes,"
    " image_sha256, old_version, new_version, download) VALUES (?, ?, ?, ?,"
    " ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
const std::string InsertChange =
    "INSERT INTO changes (run_key, seq, op_seq, at, device, board, field,"
    " value, verdict, words) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
// A session that read a board twice keeps what it read last.
const std::string InsertBoard =
    "INSERT INTO boards (run_key, address, type, serial, code_version)"
    " VALUES (?, ?, ?, ?, ?) ON CONFLICT (run_key, address) DO UPDATE SET"
    " serial = excluded.serial";

// A station run into its instrument's first and last run: it replaces the
// first when earlier, the last when later (by start, then key, as the yield
// orders runs). Every SET reads the row as it was before this statement.
std::string SummaryUpsert() {
    const auto pick = [](const char* column, const char* side, const char* than) {
        return std::string(column) + " = CASE WHEN (excluded." + side + "_started, excluded." +
               side + "_key) " + than + " (instruments." + side + "_started, instruments." + side +
               "_key) THEN excluded." + column + " ELSE instruments." + column + " END";
    };
    std::string sql =
        "INSERT INTO instruments (serial, first_key, first_started, first_outcome, first_job,"
        " first_model, first_station, last_key, last_started, last_outcome) VALUES (?, ?, ?, ?,"
        " ?, ?, ?, ?, ?, ?) ON CONFLICT (serial) DO UPDATE SET ";
    const char* firsts[] = {"first_key", "first_started", "first_outcome",
                            "first_job", "first_model",   "first_station"};
    for (const char* column : firsts) sql += pick(column, "first", "<") + ", ";
    sql += pick("last_key", "last", ">") + ", " + pick("last_started", "last", ">") + ", " +
           pick("last_outcome", "last", ">");
    return sql;
}
const std::string UpsertInstrument = SummaryUpsert();

// The values of one statement, moved out of the record rather than copied.
template <typename... Values>
std::vector<DbValue> Moved(Values&... values) {
    std::vector<DbValue> moved;
    moved.reserve(sizeof...(values));
    (moved.push_back(std::move(values)), ...);
    return moved;
}

}  // namespace

int StoreRecord(HistoryDatabase* db, HistoryRecord& r, bool& added, std::string& error) {
    added = false;
    std::vector<DbRow> rows;
    DbValue key = r.runKey;
    // Copied before the run's values are moved into its statement.
    std::vector<DbValue> summary;
    if (r.kind == "station" && r.serial && r.started) {
        summary = {r.serial, key,       r.started, r.outcome, r.job,
                   r.model,  r.station, key,       r.started, r.outcome};
    }
    if (HistoryExec(db, InsertRun,
                    Moved(r.runKey, r.kind, r.serial, r.model, r.started, r.ended, r.station,
                          r.host, r.program, r.programVersion, r.operatorName, r.job, r.jobSha256,
                          r.outcome, r.exitCode, r.error, r.labels, r.source, r.sourceLine),
                    &rows, error) != 0) {
        return HistoryDatabaseFailure;
    }
    if (rows.empty()) return 0;
    // The rest needs no answer: queued, they go with the next record's run.
    if (!summary.empty() && HistoryQueue(db, UpsertInstrument, summary, error) != 0) {
        return HistoryDatabaseFailure;
    }
    for (RecordOperation& o : r.operations) {
        DbValue run = key;
        if (HistoryQueue(db, InsertOperation,
                         Moved(run, o.seq, o.op, o.device, o.board, o.outcome, o.started, o.ended,
                               o.durationMs, o.failure, o.imageName, o.imageBytes, o.imageSha256,
                               o.oldVersion, o.newVersion, o.download),
                         error) != 0) {
            return HistoryDatabaseFailure;
        }
    }
    for (RecordChange& c : r.changes) {
        DbValue run = key;
        if (HistoryQueue(db, InsertChange,
                         Moved(run, c.seq, c.opSeq, c.at, c.device, c.board, c.field, c.value,
                               c.verdict, c.words),
                         error) != 0) {
            return HistoryDatabaseFailure;
        }
    }
    for (RecordBoard& b : r.boards) {
        DbValue run = key;
        if (HistoryQueue(db, InsertBoard, Moved(run, b.address, b.type, b.serial, b.codeVersion),
                         error) != 0) {
            return HistoryDatabaseFailure;
        }
    }
    added = true;
    return 0;
}
