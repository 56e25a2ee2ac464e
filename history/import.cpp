// A file's records into the history, all of them or none.
#include "history/import.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "history/record.h"
#include "trace/report.h"
#include "usbpipe/trace/trace_format.h"

namespace {

constexpr std::string_view TraceMagic = "ductra-trace ";

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// The line number of byte `at` of the text (1 for the first line).
uint32_t LineOf(std::string_view text, uint64_t at) {
    uint32_t line = 1;
    for (uint64_t i = 0; i < at && i < text.size(); ++i) line += text[i] == '\n' ? 1 : 0;
    return line;
}

int Store(HistoryDatabase* db, const std::string& path, std::vector<HistoryRecord>& records,
          ImportCounts& counts, std::FILE* err) {
    std::string error;
    if (HistoryBegin(db, error) != 0) {
        std::fprintf(err, "quillon-history: %s: %s\n", path.c_str(), error.c_str());
        return HistoryDatabaseFailure;
    }
    ImportCounts these;
    for (HistoryRecord& record : records) {
        record.source = path;
        bool added = false;
        if (StoreRecord(db, record, added, error) != 0) {
            HistoryRollback(db);
            std::fprintf(err, "quillon-history: %s: nothing imported: %s\n", path.c_str(),
                         error.c_str());
            return HistoryDatabaseFailure;
        }
        ++(added ? these.added : these.known);
    }
    if (HistoryCommit(db, error) != 0) {
        HistoryRollback(db);
        std::fprintf(err, "quillon-history: %s: nothing imported: %s\n", path.c_str(),
                     error.c_str());
        return HistoryDatabaseFailure;
    }
    counts.added += these.added;
    counts.known += these.known;
    return 0;
}

}  // namespace

int ImportFile(HistoryDatabase* db, const std::string& path, uint64_t from, bool wholeLinesOnly,
               uint64_t& consumed, ImportCounts& counts, std::FILE* err) {
    consumed = from;
    std::string text;
    if (!ductra::ReadWholeFile(path.c_str(), text)) {
        std::fprintf(err, "quillon-history: cannot read %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return HistoryBadInput;
    }
    if (from > text.size()) from = 0;  // the file was cut or replaced: read it again
    std::vector<HistoryRecord> records;
    int status = 0;
    if (std::string_view(text).starts_with(TraceMagic)) {
        std::vector<TraceSession> sessions;
        const int read = ReadTraceSessions(text, path.c_str(), "quillon-history", sessions, err);
        if (read == 2) return HistoryBadInput;  // a format this reader does not know: nothing
        if (read != 0) status = HistoryBadInput;
        for (const TraceSession& session : sessions) {
            records.push_back(RecordFromTraceSession(session));
            records.back().sourceLine = std::to_string(session.line);
        }
        counts.skipped += read != 0 ? 1 : 0;
        consumed = text.size();
    } else {
        const std::string_view all(text);
        const std::size_t first = all.find_first_not_of(" \t\r\n", from);
        if (first != std::string_view::npos && all[first] != '{') {
            std::fprintf(err,
                         "quillon-history: %s line %u: neither a results file (JSON Lines) nor "
                         "a trace; nothing imported from it\n",
                         path.c_str(), LineOf(all, first));
            return HistoryBadInput;
        }
        uint32_t number = LineOf(all, from);
        std::size_t at = static_cast<std::size_t>(from);
        while (at < all.size()) {
            const std::size_t end = all.find('\n', at);
            if (end == std::string_view::npos && wholeLinesOnly) break;  // still being written
            const std::string_view line =
                all.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
            at = end == std::string_view::npos ? all.size() : end + 1;
            consumed = at;
            const uint32_t lineNumber = number++;
            if (IsBlank(line)) continue;
            HistoryRecord record;
            std::string problem;
            if (RecordFromResultLine(line, record, problem) != 0) {
                if (end == std::string_view::npos) problem += " (cut off: no line end)";
                std::fprintf(err, "quillon-history: %s line %u: %s; skipped\n", path.c_str(),
                             lineNumber, problem.c_str());
                ++counts.skipped;
                status = HistoryBadInput;
                continue;
            }
            record.sourceLine = std::to_string(lineNumber);
            records.push_back(std::move(record));
        }
    }
    const int stored = Store(db, path, records, counts, err);
    if (stored != 0) {
        consumed = from;
        return stored;
    }
    return status;
}
