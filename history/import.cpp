// A file's records into the history, all of them or none.
#include "history/import.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "history/record.h"
#include "trace/report.h"
#include "usbpipe/trace/trace_format.h"

namespace {

constexpr std::string_view TraceMagic = "ductra-trace ";

// A results line and what reading it gave.
struct ReadLine {
    std::string_view text;
    uint32_t number = 0;
    bool cut = false;  // no line end
    int status = 0;
    HistoryRecord record;
    std::string problem;
};

// Lines read in one go: enough for the threads to share, few enough that a
// chunk's records take little memory.
constexpr std::size_t ChunkLines = 4096;

// Reads the lines of a chunk: parsing and the schema check are most of an
// import's work, and each line is read on its own, so the machine's cores
// share them (a few lines are read here, without threads).
void ReadLines(std::vector<ReadLine>& lines) {
    const auto readSome = [&lines](std::size_t first, std::size_t step) {
        for (std::size_t i = first; i < lines.size(); i += step) {
            ReadLine& line = lines[i];
            line.status = RecordFromResultLine(line.text, line.record, line.problem);
        }
    };
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t threads = lines.size() < 64 ? 1 : std::min<std::size_t>(cores, 4);
    std::vector<std::thread> helpers;
    for (std::size_t k = 1; k < threads; ++k) helpers.emplace_back(readSome, k, threads);
    readSome(0, threads);
    for (std::thread& helper : helpers) helper.join();
}

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// The line number of byte `at` of the text (1 for the first line).
uint32_t LineOf(std::string_view text, uint64_t at) {
    uint32_t line = 1;
    for (uint64_t i = 0; i < at && i < text.size(); ++i) line += text[i] == '\n' ? 1 : 0;
    return line;
}

// One file's records go in one transaction, each stored as soon as it is
// read (a large file is never held whole as records): Begin, Add for each,
// then Finish commits and counts, or rolls back and says why.
struct FileTransaction {
    HistoryDatabase* db;
    const std::string& path;
    std::FILE* err;
    ImportCounts these;
};

int Begin(FileTransaction& t) {
    std::string error;
    if (HistoryBegin(t.db, error) != 0) {
        std::fprintf(t.err, "quillon-history: %s: %s\n", t.path.c_str(), error.c_str());
        return HistoryDatabaseFailure;
    }
    return 0;
}

int Add(FileTransaction& t, HistoryRecord& record) {
    std::string error;
    record.source = t.path;
    bool added = false;
    if (StoreRecord(t.db, record, added, error) != 0) {
        HistoryRollback(t.db);
        std::fprintf(t.err, "quillon-history: %s: nothing imported: %s\n", t.path.c_str(),
                     error.c_str());
        return HistoryDatabaseFailure;
    }
    ++(added ? t.these.added : t.these.known);
    return 0;
}

int Finish(FileTransaction& t, ImportCounts& counts) {
    std::string error;
    if (HistoryCommit(t.db, error) != 0) {
        HistoryRollback(t.db);
        std::fprintf(t.err, "quillon-history: %s: nothing imported: %s\n", t.path.c_str(),
                     error.c_str());
        return HistoryDatabaseFailure;
    }
    counts.added += t.these.added;
    counts.known += t.these.known;
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
    FileTransaction t{db, path, err, {}};
    int status = 0;
    if (std::string_view(text).starts_with(TraceMagic)) {
        std::vector<TraceSession> sessions;
        const int read = ReadTraceSessions(text, path.c_str(), "quillon-history", sessions, err);
        if (read == 2) return HistoryBadInput;  // a format this reader does not know: nothing
        if (read != 0) status = HistoryBadInput;
        if (Begin(t) != 0) return HistoryDatabaseFailure;
        for (const TraceSession& session : sessions) {
            HistoryRecord record = RecordFromTraceSession(session);
            record.sourceLine = std::to_string(session.line);
            if (Add(t, record) != 0) return HistoryDatabaseFailure;
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
        if (Begin(t) != 0) return HistoryDatabaseFailure;
        // The next chunk of lines, taken from the text in the file's order.
        const auto take = [&](std::vector<ReadLine>& chunk) {
            chunk.clear();
            while (at < all.size() && chunk.size() < ChunkLines) {
                const std::size_t end = all.find('\n', at);
                if (end == std::string_view::npos && wholeLinesOnly) break;  // still being written
                ReadLine line;
                line.text = all.substr(
                    at, end == std::string_view::npos ? std::string_view::npos : end - at);
                line.cut = end == std::string_view::npos;
                line.number = number++;
                at = line.cut ? all.size() : end + 1;
                if (!IsBlank(line.text)) chunk.push_back(line);
                consumed = at;
            }
        };
        // Each chunk is read (parsed, checked, mapped) side by side on the
        // cores while the chunk before it is stored and reported, in the
        // file's order: the database's one writer never waits for the reading.
        std::vector<ReadLine> current, next;
        take(current);
        ReadLines(current);
        while (!current.empty()) {
            take(next);
            std::thread reader;
            if (!next.empty()) reader = std::thread([&next] { ReadLines(next); });
            int stored = 0;
            for (ReadLine& line : current) {
                if (line.status != 0) {
                    if (line.cut) line.problem += " (cut off: no line end)";
                    std::fprintf(err, "quillon-history: %s line %u: %s; skipped\n", path.c_str(),
                                 line.number, line.problem.c_str());
                    ++counts.skipped;
                    status = HistoryBadInput;
                    continue;
                }
                line.record.sourceLine = std::to_string(line.number);
                stored = Add(t, line.record);
                if (stored != 0) break;
                line.record = HistoryRecord{};
            }
            if (reader.joinable()) reader.join();
            if (stored != 0) {
                consumed = from;
                return HistoryDatabaseFailure;
            }
            current.swap(next);
        }
    }
    if (Finish(t, counts) != 0) {
        consumed = from;
        return HistoryDatabaseFailure;
    }
    return status;
}
