// The PostgreSQL engine through libpq: "?" placeholders become $1, $2, ...;
// each statement is prepared on the server at its first use and then only
// its parameters are sent (as text), since an import runs the same few
// inserts for every record. Statements whose answer is not needed (a
// record's operations, changes and boards) are queued in libpq's pipeline
// and go with the next statement that is, so that a record costs one round
// trip rather than one per row.
#include <libpq-fe.h>

#include <unordered_map>

#include "history/database_engine.h"

namespace {

struct Postgres {
    PGconn* conn = nullptr;
    std::unordered_map<std::string, std::string> prepared;  // the program's SQL -> its name
    int queued = 0;  // commands sent in the pipeline whose results are not read yet
};

// Few enough queued commands that their results fit the server's socket
// buffer: libpq's blocking sends must never wait on a server that waits on
// us to read.
constexpr int MostQueued = 256;

// The first line of a libpq message, without its line end.
std::string FirstLine(const char* message) {
    std::string text = message != nullptr ? message : "";
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    return text;
}

// The statement with $1, $2, ... for each "?" outside quotes.
std::string Numbered(const std::string& sql) {
    std::string numbered;
    int number = 0;
    bool quoted = false;
    for (char c : sql) {
        if (c == '\'') quoted = !quoted;
        if (c == '?' && !quoted) {
            numbered += "$" + std::to_string(++number);
        } else {
            numbered += c;
        }
    }
    return numbered;
}

// Fails (with the server's words) unless the result is a success.
int Check(Postgres* p, PGresult* result, std::string& error) {
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return 0;
    error = FirstLine(PQresultErrorMessage(result));
    if (error.empty()) error = FirstLine(PQerrorMessage(p->conn));
    PQclear(result);
    return HistoryDatabaseFailure;
}

bool Pipelined(const Postgres* p) {
    return PQpipelineStatus(p->conn) != PQ_PIPELINE_OFF;
}

// The server-side name of the statement, prepared at its first use. Only
// outside the pipeline: a name is known here only once the server has it.
const std::string* Prepared(Postgres* p, const std::string& sql, std::string& error) {
    const auto known = p->prepared.find(sql);
    if (known != p->prepared.end()) return &known->second;
    const std::string name = "q" + std::to_string(p->prepared.size() + 1);
    PGresult* result = PQprepare(p->conn, name.c_str(), Numbered(sql).c_str(), 0, nullptr);
    if (Check(p, result, error) != 0) return nullptr;
    PQclear(result);
    return &p->prepared.emplace(sql, name).first->second;
}

// Reads the results of every queued command and leaves the pipeline.
// Returns 0, or 1 with the first failure's words (the commands after it were
// skipped by the server, and the transaction is to be rolled back).
int Drain(Postgres* p, std::string& error) {
    if (!Pipelined(p)) return 0;
    int status = 0;
    const auto fail = [&](const std::string& words) {
        if (status == 0) error = words.empty() ? "the server failed" : words;
        status = HistoryDatabaseFailure;
    };
    if (PQpipelineSync(p->conn) != 1) {
        fail(FirstLine(PQerrorMessage(p->conn)));
    } else {
        // Each command's results end with a null; the sync point ends them all.
        int nulls = 0;
        for (;;) {
            PGresult* result = PQgetResult(p->conn);
            if (result == nullptr) {
                if (PQstatus(p->conn) == CONNECTION_BAD || ++nulls > p->queued) {
                    fail(FirstLine(PQerrorMessage(p->conn)));
                    break;
                }
                continue;
            }
            const ExecStatusType kind = PQresultStatus(result);
            if (kind == PGRES_PIPELINE_SYNC) {
                PQclear(result);
                break;
            }
            if (kind == PGRES_FATAL_ERROR || kind == PGRES_BAD_RESPONSE ||
                kind == PGRES_NONFATAL_ERROR) {
                fail(FirstLine(PQresultErrorMessage(result)));
            }
            PQclear(result);
        }
    }
    p->queued = 0;
    if (PQexitPipelineMode(p->conn) != 1) fail(FirstLine(PQerrorMessage(p->conn)));
    return status;
}

void Close(void* handle) {
    Postgres* p = static_cast<Postgres*>(handle);
    PQfinish(p->conn);
    delete p;
}

std::vector<const char*> Values(const std::vector<DbValue>& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const DbValue& value : params) values.push_back(value ? value->c_str() : nullptr);
    return values;
}

int Queue(void* handle, const std::string& sql, const std::vector<DbValue>& params,
          std::string& error) {
    Postgres* p = static_cast<Postgres*>(handle);
    // A statement met for the first time is prepared after what is queued
    // has run; the pipeline is also emptied when it holds enough.
    const bool known = p->prepared.contains(sql);
    if ((!known || p->queued >= MostQueued) && Drain(p, error) != 0) {
        return HistoryDatabaseFailure;
    }
    const std::string* name = Prepared(p, sql, error);
    if (name == nullptr) return HistoryDatabaseFailure;
    if (!Pipelined(p) && PQenterPipelineMode(p->conn) != 1) {
        error = FirstLine(PQerrorMessage(p->conn));
        return HistoryDatabaseFailure;
    }
    const std::vector<const char*> values = Values(params);
    if (PQsendQueryPrepared(p->conn, name->c_str(), static_cast<int>(values.size()), values.data(),
                            nullptr, nullptr, 0) != 1) {
        error = FirstLine(PQerrorMessage(p->conn));
        return HistoryDatabaseFailure;
    }
    ++p->queued;
    return 0;
}

int Exec(void* handle, const std::string& sql, const std::vector<DbValue>& params,
         std::vector<DbRow>* rows, std::string& error) {
    Postgres* p = static_cast<Postgres*>(handle);
    // What was queued runs first; its failure is this statement's.
    if (Drain(p, error) != 0) return HistoryDatabaseFailure;
    const std::vector<const char*> values = Values(params);
    const std::string* name = Prepared(p, sql, error);
    if (name == nullptr) return HistoryDatabaseFailure;
    PGresult* result = PQexecPrepared(p->conn, name->c_str(), static_cast<int>(values.size()),
                                      values.data(), nullptr, nullptr, 0);
    if (Check(p, result, error) != 0) return HistoryDatabaseFailure;
    if (rows != nullptr) {
        const int count = PQntuples(result), columns = PQnfields(result);
        rows->reserve(static_cast<std::size_t>(count));
        for (int r = 0; r < count; ++r) {
            DbRow row;
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(result, r, c)) {
                    row.emplace_back();
                } else {
                    row.emplace_back(
                        std::string(PQgetvalue(result, r, c),
                                    static_cast<std::size_t>(PQgetlength(result, r, c))));
                }
            }
            rows->push_back(std::move(row));
        }
    }
    PQclear(result);
    return 0;
}

const HistoryEngineHooks Hooks = {"postgresql", Close, Exec, Queue};

}  // namespace

int PostgresOpen(const std::string& uri, HistoryDatabase& db, std::string& error) {
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &message);
    if (options == nullptr) {
        error = "--database \"" + uri + "\": " + FirstLine(message);
        PQfreemem(message);
        return HistoryBadInput;
    }
    PQconninfoFree(options);
    PGconn* conn = PQconnectdb(uri.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        // libpq's message names the server and the refusal; the URL is not
        // repeated, since it may hold a password.
        error = "cannot connect to PostgreSQL: " + FirstLine(PQerrorMessage(conn));
        PQfinish(conn);
        return HistoryDatabaseFailure;
    }
    // The history's own messages name what went wrong; the server's notices
    // (a table that already exists, ...) are not for the user.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    Postgres* p = new Postgres;
    p->conn = conn;
    db.hooks = &Hooks;
    db.handle = p;
    return 0;
}
