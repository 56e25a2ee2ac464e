// How a station's results line and a trace session become the history's
// rows: every name of the results format that the history reads is here,
// and only here.
#include <nlohmann/json.hpp>

#include "history/record.h"
#include "usbpipe/trace/json_schema.h"

namespace {

using Json = nlohmann::json;

DbValue Text(const Json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    const auto at = object.find(key);
    if (at == object.end() || at->is_null()) return std::nullopt;
    if (at->is_string()) return at->get<std::string>();
    if (at->is_number_integer()) return std::to_string(at->get<long long>());
    if (at->is_boolean()) return at->get<bool>() ? "true" : "false";
    return at->dump();
}

// The member key of an object, or null: read in place, never copied.
const Json& Member(const Json& object, const char* key) {
    static const Json Absent;
    if (!object.is_object()) return Absent;
    const auto at = object.find(key);
    return at == object.end() ? Absent : *at;
}

DbValue Number(std::size_t n) {
    return std::to_string(n);
}

// A line is stored only in the format this reader knows, and only as the
// stations' published result schema allows it; the verdict names the field.
int CheckResult(const Json& result, std::string& problem) {
    if (!result.is_object()) {
        problem = "not a results line (a JSON object)";
        return HistoryBadInput;
    }
    const auto format = result.find("format");
    if (format == result.end() || !format->is_number_integer()) {
        problem = "not a results line of format " + std::to_string(ResultFormatVersion) +
                  " (no \"format\")";
        return HistoryBadInput;
    }
    if (format->get<long long>() != ResultFormatVersion) {
        problem = "results format " + std::to_string(format->get<long long>()) +
                  "; this reader reads format " + std::to_string(ResultFormatVersion);
        return HistoryBadInput;
    }
    std::string field, description;
    if (ductra::CheckJsonSchema(ResultSchemaText(), result, "line", field, description) != 0) {
        problem = field + ": not as the result schema allows (" + description + ")";
        return HistoryBadInput;
    }
    return 0;
}

}  // namespace

int RecordFromResultLine(std::string_view line, HistoryRecord& record, std::string& problem) {
    const Json result = Json::parse(line, nullptr, false);
    if (result.is_discarded()) {
        problem = "not JSON";
        return HistoryBadInput;
    }
    if (CheckResult(result, problem) != 0) return HistoryBadInput;
    record = HistoryRecord{};
    record.runKey = Text(result, "run_id");
    record.kind = "station";
    const Json& station = Member(result, "station");
    record.station = Text(station, "name");
    record.host = Text(station, "host");
    record.program = Text(station, "program");
    record.programVersion = Text(station, "version");
    record.operatorName = Text(station, "operator");
    const Json& job = Member(result, "job");
    record.job = Text(job, "path");
    record.jobSha256 = Text(job, "sha256");
    record.started = Text(result, "started");
    record.ended = Text(result, "ended");
    record.outcome = Text(result, "outcome");
    record.exitCode = Text(result, "exit_code");
    record.error = Text(result, "error");
    if (result.contains("labels") && result["labels"].is_object()) {
        record.labels = result["labels"].dump();
    }
    const Json& instrument = Member(result, "instrument");
    record.serial = Text(instrument, "serial_number");
    record.model = Text(instrument, "model");
    if (instrument.is_object() && instrument.contains("boards") &&
        instrument["boards"].is_array()) {
        for (const Json& board : instrument["boards"]) {
            record.boards.push_back({Text(board, "address"), Text(board, "type"),
                                     Text(board, "serial_number"), Text(board, "code_version")});
        }
    }
    const Json& operations = Member(result, "operations");
    for (std::size_t i = 0; operations.is_array() && i < operations.size(); ++i) {
        const Json& op = operations[i];
        RecordOperation row;
        row.seq = Number(i + 1);
        row.op = Text(op, "op");
        row.device = Text(op, "device");
        row.board = Text(op, "board");
        row.outcome = Text(op, "outcome");
        row.started = Text(op, "started");
        row.ended = Text(op, "ended");
        row.durationMs = Text(op, "duration_ms");
        if (op.is_object() && op.contains("failure")) {
            row.failure = Text(op["failure"], "verdict");
            if (!row.failure) row.failure = op["failure"].dump();
        }
        const Json& image = Member(op, "image");
        row.imageName = Text(image, "name");
        row.imageBytes = Text(image, "bytes");
        row.imageSha256 = Text(image, "sha256");
        const Json& download = Member(op, "download");
        row.oldVersion = Text(download, "old_code_version");
        row.newVersion = Text(download, "new_code_version");
        if (!row.newVersion) row.newVersion = Text(image, "code_version");
        row.download = Text(download, "record");
        if (op.is_object() && op.contains("changes") && op["changes"].is_array()) {
            for (const Json& change : op["changes"]) {
                RecordChange c;
                c.seq = Number(record.changes.size() + 1);
                c.opSeq = row.seq;
                c.at = row.ended;
                c.device = row.device;
                c.board = row.board;
                c.field = Text(change, "field");
                c.value = Text(change, "value");
                c.verdict = Text(change, "verdict");
                c.words = Text(change, "change");
                if (!c.words) c.words = "";
                record.changes.push_back(std::move(c));
            }
        }
        record.operations.push_back(std::move(row));
    }
    return 0;
}

HistoryRecord RecordFromTraceSession(const TraceSession& session) {
    HistoryRecord record;
    record.runKey = "trace " + session.header.start + " " + session.header.library + " " +
                    session.header.platform + " @" + std::to_string(session.offset);
    record.kind = "service";
    if (!session.startUtc.empty()) record.started = session.startUtc;
    record.program = session.header.library;
    record.host = session.header.platform;
    // The instrument: the sonde's main board (bus address 1, board 0) as the
    // session read its record, else the serial number written to it.
    for (const TraceBoardSerial& read : session.serials) {
        if (read.address == 1 && read.board == 0) record.serial = read.serial;
        if (read.address == 1) {
            record.boards.push_back(
                {std::to_string(read.board), std::nullopt, read.serial, std::nullopt});
        }
    }
    const std::string written = "serial number \"";
    for (const TraceChange& change : session.changes) {
        RecordChange c;
        c.seq = Number(record.changes.size() + 1);
        c.at = change.utc;
        c.device = change.where.substr(0, change.where.find(", board "));
        if (change.board >= 0) c.board = std::to_string(change.board);
        c.verdict = change.download ? DbValue() : DbValue(change.verdict);
        c.words = change.words;
        if (change.words.starts_with(written) && change.words.ends_with("\"")) {
            c.field = "serial_number";
            c.value = change.words.substr(written.size(), change.words.size() - written.size() - 1);
            if (!record.serial && change.address == 1 && change.board == 0 &&
                change.verdict == "accepted") {
                record.serial = c.value;
            }
        } else if (change.download) {
            c.field = "firmware";
        }
        record.changes.push_back(std::move(c));
    }
    return record;
}
