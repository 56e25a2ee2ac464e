// One record of the history as the tables hold it: a station's run or a
// traced service session, with its operations, changes and boards. Every
// field is text or absent, as the database stores it.
#pragma once

#include <string>
#include <vector>

#include "history/database.h"
#include "trace/report.h"

struct RecordOperation {
    DbValue seq, op, device, board, outcome, started, ended, durationMs, failure;
    DbValue imageName, imageBytes, imageSha256, oldVersion, newVersion, download;
};

struct RecordChange {
    DbValue seq, opSeq, at, device, board, field, value, verdict, words;
};

struct RecordBoard {
    DbValue address, type, serial, codeVersion;
};

struct HistoryRecord {
    DbValue runKey, kind, serial, model, started, ended, station, host, program, programVersion,
        operatorName, job, jobSha256, outcome, exitCode, error, labels, source, sourceLine;
    std::vector<RecordOperation> operations;
    std::vector<RecordChange> changes;
    std::vector<RecordBoard> boards;
};

// The format version of the results lines this program reads.
inline constexpr int ResultFormatVersion = 2;
// The stations' result schema (station/result.schema.json), built in.
const char* ResultSchemaText();

// One results line (JSON) into a record. Returns 0, or 2 with the problem
// in words ("not JSON: ...", "format 1; this reader reads format 2", "no
// run_id").
int RecordFromResultLine(std::string_view line, HistoryRecord& record, std::string& problem);

// One session of a trace into a record: its key is the session's header and
// where it starts in the file, so that the same file (or a copy, or the file
// grown by later sessions) gives the same keys.
HistoryRecord RecordFromTraceSession(const TraceSession& session);

// Writes the record unless its key is stored already, moving its values out
// (the record is spent). Returns 0 (added is then whether it was new) or 1
// with the engine's message.
int StoreRecord(HistoryDatabase* db, HistoryRecord& record, bool& added, std::string& error);
