// Show and yield: each question is a few indexed queries, answered in the
// same words on both engines (every value read back as text).
#include "history/ask.h"

#include <chrono>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

namespace {

using Json = nlohmann::json;

const std::string& Or(const DbValue& value, const std::string& otherwise) {
    return value ? *value : otherwise;
}

Json JsonText(const DbValue& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json JsonNumber(const DbValue& value) {
    if (!value) return nullptr;
    try {
        return std::stoll(*value);
    } catch (...) {
        return *value;
    }
}

// "2026-12-08T23:53:13Z" in the local zone: "2026-12-09 00:53:13 CET";
// empty for a time of another shape.
std::string LocalWords(const std::string& utc) {
    std::tm tm{};
    if (utc.size() < 20 || utc[10] != 'T' || utc.back() != 'Z' ||
        std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6) {
        return "";
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const std::time_t at = timegm(&tm);
    std::tm local{};
    localtime_r(&at, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local);
    return text;
}

int Query(HistoryDatabase* db, const std::string& sql, const std::vector<DbValue>& params,
          std::vector<DbRow>& rows, std::FILE* err) {
    std::string error;
    if (HistoryExec(db, sql, params, &rows, error) != 0) {
        std::fprintf(err, "quillon-history: the database failed: %s\n", error.c_str());
        return HistoryDatabaseFailure;
    }
    return 0;
}

const std::string None = "";

// The expression of a yield's group, over the columns of a run (prefix "")
// or of an instrument's first run (prefix "i.first_").
std::string GroupOf(const std::string& by, const std::string& prefix) {
    if (by == "job") return "COALESCE(" + prefix + "job, '(no job)')";
    if (by == "type") return "COALESCE(" + prefix + "model, '(unknown)')";
    if (by == "station") return "COALESCE(" + prefix + "station, '(unnamed)')";
    if (by == "day") return "SUBSTR(" + prefix + "started, 1, 10)";
    return "'all'";
}

// The yield's rows (group, instruments, first pass, final) and the failed
// runs (group, outcome, count). An instrument counts in the period of its
// first run ever, in the group of that run; its final outcome is that of its
// last run up to the period's end.
int QueryYield(HistoryDatabase* db, const YieldQuestion& q, std::vector<DbRow>& yields,
               std::vector<DbRow>& failures, std::FILE* err) {
    const std::string since = q.since.empty() ? "0000" : q.since;
    const std::string until = q.until.empty() ? "9999" : q.until + "T23:59:59Z";
    // The instruments whose first station run ever is in the period, one
    // row each in the instruments table, in the group of that run. The final
    // outcome is that of the last run up to the period's end: the stored last
    // run when it is not later, else one seek in runs_by_instrument.
    if (Query(db,
              "SELECT grp, COUNT(*), SUM(CASE WHEN first_outcome = 'done' THEN 1 ELSE 0 END),"
              " SUM(CASE WHEN last_outcome = 'done' THEN 1 ELSE 0 END) FROM (SELECT " +
                  GroupOf(q.by, "i.first_") +
                  " AS grp, i.first_outcome, CASE WHEN i.last_started <= ? THEN i.last_outcome"
                  " ELSE (SELECT r.outcome FROM runs r WHERE r.serial = i.serial AND r.kind ="
                  " 'station' AND r.started <= ? ORDER BY r.started DESC, r.run_key DESC LIMIT 1)"
                  " END AS last_outcome FROM instruments i WHERE i.first_started >= ? AND"
                  " i.first_started <= ?) per_instrument GROUP BY grp ORDER BY grp",
              {until, until, since, until}, yields, err) != 0 ||
        Query(db,
              // Grouped by position: PostgreSQL groups by no written constant.
              "SELECT " + GroupOf(q.by, "") +
                  " AS grp, outcome, COUNT(*) FROM runs WHERE kind = 'station' AND started >= ?"
                  " AND started <= ? AND (outcome IS NULL OR outcome <> 'done') GROUP BY 1, 2"
                  " ORDER BY 1, 2",
              {since, until}, failures, err) != 0) {
        return HistoryDatabaseFailure;
    }
    return 0;
}

}  // namespace

bool IsDate(const std::string& text) {
    int y = 0;
    unsigned m = 0, d = 0;
    char end = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &y, &m, &d, &end) != 3) {
        return false;
    }
    using namespace std::chrono;
    return year_month_day{year{y}, month{m}, day{d}}.ok();
}

int ShowInstrument(HistoryDatabase* db, const std::string& serial, bool json, std::FILE* out,
                   std::FILE* err) {
    std::vector<DbRow> rows;
    std::string instrument = serial;
    if (Query(db, "SELECT COUNT(*) FROM runs WHERE serial = ?", {serial}, rows, err) != 0) {
        return HistoryDatabaseFailure;
    }
    if (*rows[0][0] == "0") {
        // A board's serial number: the instrument it was seen in.
        if (Query(db,
                  "SELECT r.serial FROM boards b JOIN runs r ON r.run_key = b.run_key"
                  " WHERE b.serial = ? AND r.serial IS NOT NULL ORDER BY r.started DESC LIMIT 1",
                  {serial}, rows, err) != 0) {
            return HistoryDatabaseFailure;
        }
        if (rows.empty()) {
            std::fprintf(err, "quillon-history: nothing recorded for %s\n", serial.c_str());
            return 3;
        }
        instrument = *rows[0][0];
    }
    std::vector<DbRow> runs;
    if (Query(db,
              "SELECT run_key, kind, started, ended, station, host, program, program_version,"
              " operator, job, outcome, exit_code, error, model FROM runs WHERE serial = ?"
              " ORDER BY started, run_key",
              {instrument}, runs, err) != 0) {
        return HistoryDatabaseFailure;
    }
    Json records = Json::array();
    std::string model;
    for (const DbRow& run : runs) {
        if (run[13]) model = *run[13];
    }
    if (!json) {
        std::fprintf(out, "instrument %s%s%s: %zu record%s\n", instrument.c_str(),
                     model.empty() ? "" : ", ", model.c_str(), runs.size(),
                     runs.size() == 1 ? "" : "s");
        if (instrument != serial) std::fprintf(out, "(board serial number %s)\n", serial.c_str());
    }
    for (const DbRow& run : runs) {
        const DbValue& key = run[0];
        std::vector<DbRow> ops, changes, boards;
        if (Query(db,
                  "SELECT seq, op, device, board, outcome, duration_ms, failure, image_name,"
                  " image_bytes, image_sha256, old_version, new_version, download FROM operations"
                  " WHERE run_key = ? ORDER BY seq",
                  {key}, ops, err) != 0 ||
            Query(db,
                  "SELECT op_seq, at, device, board, field, value, verdict, words FROM changes"
                  " WHERE run_key = ? ORDER BY seq",
                  {key}, changes, err) != 0 ||
            Query(db,
                  "SELECT address, type, serial, code_version FROM boards WHERE run_key = ?"
                  " ORDER BY address",
                  {key}, boards, err) != 0) {
            return HistoryDatabaseFailure;
        }
        const bool station = *run[1] == "station";
        const std::string started = Or(run[2], None);
        if (json) {
            Json record = {
                {"kind", *run[1]},
                {"key", *key},
                {"started", JsonText(run[2])},
                {"started_local", started.empty() ? Json(nullptr) : Json(LocalWords(started))},
                {"ended", JsonText(run[3])},
                {"station", JsonText(run[4])},
                {"host", JsonText(run[5])},
                {"program", JsonText(run[6])},
                {"version", JsonText(run[7])},
                {"operator", JsonText(run[8])},
                {"job", JsonText(run[9])},
                {"outcome", JsonText(run[10])},
                {"exit_code", JsonNumber(run[11])},
                {"error", JsonText(run[12])}};
            Json operations = Json::array();
            for (const DbRow& o : ops) {
                operations.push_back({{"seq", JsonNumber(o[0])},
                                      {"op", JsonText(o[1])},
                                      {"device", JsonText(o[2])},
                                      {"board", JsonNumber(o[3])},
                                      {"outcome", JsonText(o[4])},
                                      {"duration_ms", JsonNumber(o[5])},
                                      {"failure", JsonText(o[6])},
                                      {"image_name", JsonText(o[7])},
                                      {"image_bytes", JsonNumber(o[8])},
                                      {"image_sha256", JsonText(o[9])},
                                      {"firmware_before", JsonText(o[10])},
                                      {"firmware_after", JsonText(o[11])},
                                      {"download", JsonText(o[12])}});
            }
            Json written = Json::array();
            for (const DbRow& c : changes) {
                written.push_back({{"operation", JsonNumber(c[0])},
                                   {"at", JsonText(c[1])},
                                   {"device", JsonText(c[2])},
                                   {"board", JsonNumber(c[3])},
                                   {"field", JsonText(c[4])},
                                   {"value", JsonText(c[5])},
                                   {"verdict", JsonText(c[6])},
                                   {"change", JsonText(c[7])}});
            }
            Json seen = Json::array();
            for (const DbRow& b : boards) {
                seen.push_back({{"address", JsonNumber(b[0])},
                                {"type", JsonText(b[1])},
                                {"serial_number", JsonText(b[2])},
                                {"code_version", JsonText(b[3])}});
            }
            record["operations"] = operations;
            record["changes"] = written;
            record["boards"] = seen;
            records.push_back(record);
            continue;
        }
        std::string where;
        if (station) {
            where = "station " + Or(run[4], "(unnamed)");
            if (run[5]) where += " on " + *run[5];
            if (run[6]) where += " (" + *run[6] + (run[7] ? " " + *run[7] : "") + ")";
            if (run[8]) where += ", operator " + *run[8];
            if (run[9]) where += ", job " + *run[9];
        } else {
            where = Or(run[6], "(unknown)") + " on " + Or(run[5], "(unknown)");
        }
        const std::string local = LocalWords(started);
        std::fprintf(out, "\n%s %s%s%s%s, %s", station ? "station run" : "service session",
                     started.empty() ? "(time unknown)" : started.c_str(),
                     local.empty() ? "" : " (", local.c_str(), local.empty() ? "" : ")",
                     where.c_str());
        if (station) std::fprintf(out, ": %s", Or(run[10], "(no outcome)").c_str());
        std::fprintf(out, "\n");
        if (station && run[12]) std::fprintf(out, "  error: %s\n", run[12]->c_str());
        // Station changes under their operation; a session's on their own.
        auto printChanges = [&](const DbValue& op) {
            for (const DbRow& c : changes) {
                if (c[0] != op) continue;
                if (station) {
                    std::fprintf(out, "      %s: %s\n", Or(c[7], None).c_str(),
                                 Or(c[6], "?").c_str());
                } else {
                    std::fprintf(out, "  %s  %s%s: %s%s%s\n", Or(c[1], None).c_str(),
                                 Or(c[2], "?").c_str(), c[3] ? (", board " + *c[3]).c_str() : "",
                                 Or(c[7], None).c_str(), c[6] ? ": " : "", Or(c[6], None).c_str());
                }
            }
        };
        for (const DbRow& o : ops) {
            std::fprintf(out, "  %s %s, %s%s: %s", o[0]->c_str(), Or(o[1], "?").c_str(),
                         Or(o[2], "?").c_str(), o[3] ? (" board " + *o[3]).c_str() : "",
                         Or(o[4], "?").c_str());
            if (o[5]) std::fprintf(out, " in %s ms", o[5]->c_str());
            if (o[6]) std::fprintf(out, ": %s", o[6]->c_str());
            std::fprintf(out, "\n");
            if (o[7] || o[10] || o[11]) {
                std::fprintf(out, "      image %s", Or(o[7], "(unnamed)").c_str());
                if (o[8]) std::fprintf(out, " (%s bytes)", o[8]->c_str());
                std::fprintf(out, ", firmware %s -> %s\n", Or(o[10], "?").c_str(),
                             Or(o[11], "?").c_str());
            }
            if (o[12]) std::fprintf(out, "      %s\n", o[12]->c_str());
            printChanges(o[0]);
        }
        if (!station) printChanges(std::nullopt);
        if (!boards.empty()) {
            std::fprintf(out, "  boards:\n");
            for (const DbRow& b : boards) {
                // The firmware after the run: a completed download's version.
                std::string after;
                for (const DbRow& o : ops) {
                    if (o[3] == b[0] && o[11] && o[12] && o[12]->ends_with(": completed")) {
                        after = *o[11];
                    }
                }
                std::fprintf(out, "    %s %s", b[0]->c_str(), Or(b[1], "(type not read)").c_str());
                if (b[3]) {
                    std::fprintf(out, ", firmware %s", b[3]->c_str());
                    if (!after.empty() && after != *b[3])
                        std::fprintf(out, " -> %s", after.c_str());
                }
                if (b[2]) std::fprintf(out, ", serial number %s", b[2]->c_str());
                std::fprintf(out, "\n");
            }
        }
    }
    if (json) {
        const Json document = {{"instrument", instrument},
                               {"asked", serial},
                               {"model", model.empty() ? Json(nullptr) : Json(model)},
                               {"records", records}};
        std::fprintf(out, "%s\n", document.dump(2).c_str());
    }
    return 0;
}

int ShowYield(HistoryDatabase* db, const YieldQuestion& q, bool json, std::FILE* out,
              std::FILE* err) {
    std::vector<DbRow> yields, failures;
    if (QueryYield(db, q, yields, failures, err) != 0) return HistoryDatabaseFailure;
    auto percent = [](long long part, long long whole) {
        char text[16];
        std::snprintf(text, sizeof text, "%.1f", whole == 0 ? 0.0 : 100.0 * part / whole);
        return std::string(text);
    };
    const std::string by = q.by.empty() ? "all" : q.by;
    const std::string periodWords = (q.since.empty() ? std::string("the first record") : q.since) +
                                    " to " + (q.until.empty() ? "the last" : q.until);
    if (json) {
        Json rows = Json::array();
        for (const DbRow& y : yields) {
            const long long n = std::stoll(*y[1]), first = std::stoll(*y[2]),
                            final = std::stoll(*y[3]);
            Json kinds = Json::object();
            for (const DbRow& f : failures) {
                if (f[0] == y[0]) kinds[Or(f[1], "(no outcome)")] = std::stoll(*f[2]);
            }
            rows.push_back({{"group", *y[0]},
                            {"instruments", n},
                            {"first_pass", first},
                            {"first_pass_yield", n == 0 ? 0.0 : static_cast<double>(first) / n},
                            {"final", final},
                            {"final_yield", n == 0 ? 0.0 : static_cast<double>(final) / n},
                            {"failures", kinds}});
        }
        Json kinds = Json::object();
        for (const DbRow& f : failures) {
            const std::string kind = Or(f[1], "(no outcome)");
            kinds[kind] = kinds.value(kind, 0LL) + std::stoll(*f[2]);
        }
        const Json document = {{"by", by},
                               {"since", q.since.empty() ? Json(nullptr) : Json(q.since)},
                               {"until", q.until.empty() ? Json(nullptr) : Json(q.until)},
                               {"groups", rows},
                               {"failures", kinds}};
        std::fprintf(out, "%s\n", document.dump(2).c_str());
        return 0;
    }
    std::fprintf(out, "yield by %s, %s (UTC)\n", by.c_str(), periodWords.c_str());
    std::fprintf(out, "%-24s %11s %16s %16s\n", by.c_str(), "instruments", "first pass", "final");
    long long n = 0, first = 0, final = 0;
    for (const DbRow& y : yields) {
        const long long gn = std::stoll(*y[1]), gf = std::stoll(*y[2]), gl = std::stoll(*y[3]);
        n += gn, first += gf, final += gl;
        std::fprintf(out, "%-24s %11lld %7lld %6s %% %7lld %6s %%\n", y[0]->c_str(), gn, gf,
                     percent(gf, gn).c_str(), gl, percent(gl, gn).c_str());
    }
    if (!q.by.empty()) {
        std::fprintf(out, "%-24s %11lld %7lld %6s %% %7lld %6s %%\n", "all", n, first,
                     percent(first, n).c_str(), final, percent(final, n).c_str());
    }
    std::map<std::string, long long> kinds;
    long long failed = 0;
    for (const DbRow& f : failures) {
        kinds[Or(f[1], "(no outcome)")] += std::stoll(*f[2]);
        failed += std::stoll(*f[2]);
    }
    std::fprintf(out, "failed runs: %lld\n", failed);
    for (const auto& [kind, count] : kinds) {
        std::fprintf(out, "  %-22s %lld\n", kind.c_str(), count);
    }
    return 0;
}

namespace {

std::string Html(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Yield per day as bars: first pass filled, final outlined, 0 to 100 %.
std::string YieldChart(const std::vector<DbRow>& days) {
    const int barWidth = 28, gap = 12, height = 200, left = 40, top = 10;
    const int width = left + static_cast<int>(days.size()) * (barWidth + gap) + gap;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                      "\" height=\"" + std::to_string(height + 60) +
                      "\" role=\"img\" aria-label=\"yield per day\">\n";
    for (int pct = 0; pct <= 100; pct += 50) {
        const int y = top + height - height * pct / 100;
        svg += "<line x1=\"" + std::to_string(left) + "\" y1=\"" + std::to_string(y) + "\" x2=\"" +
               std::to_string(width) + "\" y2=\"" + std::to_string(y) +
               "\" stroke=\"#ccc\"/><text x=\"2\" y=\"" + std::to_string(y + 4) +
               "\" font-size=\"11\">" + std::to_string(pct) + " %</text>\n";
    }
    int x = left + gap;
    for (const DbRow& day : days) {
        const long long n = std::stoll(*day[1]), first = std::stoll(*day[2]),
                        final = std::stoll(*day[3]);
        const int firstHeight = n == 0 ? 0 : static_cast<int>(height * first / n);
        const int finalHeight = n == 0 ? 0 : static_cast<int>(height * final / n);
        svg += "<rect class=\"final\" x=\"" + std::to_string(x) + "\" y=\"" +
               std::to_string(top + height - finalHeight) + "\" width=\"" +
               std::to_string(barWidth) + "\" height=\"" + std::to_string(finalHeight) +
               "\" fill=\"#bcd8f0\"/>\n<rect class=\"first-pass\" x=\"" + std::to_string(x + 4) +
               "\" y=\"" + std::to_string(top + height - firstHeight) + "\" width=\"" +
               std::to_string(barWidth - 8) + "\" height=\"" + std::to_string(firstHeight) +
               "\" fill=\"#1f5f9f\"><title>" + Html(*day[0]) + ": " + std::to_string(first) +
               " of " + std::to_string(n) + " first pass, " + std::to_string(final) +
               " final</title></rect>\n<text x=\"" + std::to_string(x) + "\" y=\"" +
               std::to_string(top + height + 14) + "\" font-size=\"10\">" +
               Html(day[0]->substr(5)) + "</text>\n";
        x += barWidth + gap;
    }
    return svg + "</svg>\n";
}

}  // namespace

int WriteHtmlReport(HistoryDatabase* db, const std::string& since, const std::string& path,
                    std::FILE* err) {
    std::vector<DbRow> days, failures, all, allFailures, instruments;
    YieldQuestion q;
    q.since = since;
    q.by = "day";
    if (QueryYield(db, q, days, failures, err) != 0) return HistoryDatabaseFailure;
    q.by = "";
    if (QueryYield(db, q, all, allFailures, err) != 0) return HistoryDatabaseFailure;
    if (Query(db,
              // Each instrument's last station run, when it is in the period.
              "SELECT i.serial, l.model, i.last_started, i.last_outcome, b.address, b.type,"
              " b.code_version, (SELECT o.new_version FROM operations o WHERE o.run_key ="
              " i.last_key AND o.board = b.address AND o.download LIKE '%: completed'"
              " ORDER BY o.seq DESC LIMIT 1) FROM instruments i JOIN runs l ON l.run_key ="
              " i.last_key LEFT JOIN boards b ON b.run_key = i.last_key WHERE i.last_started"
              " >= ? ORDER BY i.serial, b.address",
              {since.empty() ? "0000" : since}, instruments, err) != 0) {
        return HistoryDatabaseFailure;
    }
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Instrument history</title>\n<style>\nbody { font-family: sans-serif; margin: "
        "2em; color: #222; }\ntable { border-collapse: collapse; }\ntd, th { border: 1px solid "
        "#bbb; padding: 0.2em 0.6em; text-align: left; }\n.key span { display: inline-block; "
        "width: 1em; height: 1em; vertical-align: middle; }\n</style>\n</head>\n<body>\n"
        "<h1>Instrument history</h1>\n<p>Station runs " +
        (since.empty() ? std::string("of every day recorded") : "since " + Html(since)) +
        " (UTC).</p>\n";
    if (!all.empty()) {
        const long long n = std::stoll(*all[0][1]), first = std::stoll(*all[0][2]),
                        final = std::stoll(*all[0][3]);
        page += "<p id=\"totals\">" + std::to_string(n) + " instruments: " + std::to_string(first) +
                " done on their first run, " + std::to_string(final) + " done in the end.</p>\n";
    } else {
        page += "<p id=\"totals\">No station runs recorded.</p>\n";
    }
    page +=
        "<h2>Yield per day</h2>\n<p class=\"key\"><span style=\"background:#1f5f9f\">"
        "</span> first pass <span style=\"background:#bcd8f0\"></span> final</p>\n" +
        YieldChart(days) +
        "<h2>Failures</h2>\n<table id=\"failures\">\n<tr><th>kind</th>"
        "<th>runs</th></tr>\n";
    std::map<std::string, long long> kinds;
    for (const DbRow& f : allFailures) kinds[Or(f[1], "(no outcome)")] += std::stoll(*f[2]);
    for (const auto& [kind, count] : kinds) {
        page += "<tr><td>" + Html(kind) + "</td><td>" + std::to_string(count) + "</td></tr>\n";
    }
    page +=
        "</table>\n<h2>Instruments and their last firmware</h2>\n<table id=\"instruments\">\n"
        "<tr><th>serial number</th><th>model</th><th>last run</th><th>outcome</th>"
        "<th>firmware per board</th></tr>\n";
    for (std::size_t i = 0; i < instruments.size();) {
        const DbRow& first = instruments[i];
        std::string firmware;
        for (; i < instruments.size() && instruments[i][0] == first[0]; ++i) {
            const DbRow& b = instruments[i];
            if (!b[4]) continue;
            firmware += (firmware.empty() ? "" : ", ") + *b[4] + " " + Or(b[5], "?") + " " +
                        (b[7] ? *b[7] : Or(b[6], "?"));
        }
        page += "<tr><td>" + Html(*first[0]) + "</td><td>" + Html(Or(first[1], None)) +
                "</td><td>" + Html(Or(first[2], None)) + "</td><td>" + Html(Or(first[3], None)) +
                "</td><td>" + Html(firmware) + "</td></tr>\n";
    }
    page += "</table>\n</body>\n</html>\n";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool written = file != nullptr && std::fwrite(page.data(), 1, page.size(), file) == page.size();
    if (file != nullptr && std::fclose(file) != 0) written = false;
    if (!written) {
        std::fprintf(err, "quillon-history: cannot write %s\n", path.c_str());
        return HistoryBadInput;
    }
    return 0;
}
