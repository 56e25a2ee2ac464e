// quillon-history: every station result and traced service session of an
// instrument in one database, asked by serial number.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "history/ask.h"
#include "history/database.h"
#include "history/import.h"
#include "history/schema.h"
#include "history/watch.h"

namespace {

constexpr const char* Usage =
    "usage: quillon-history [--database URL] import FILE...\n"
    "       quillon-history [--database URL] watch [--interval SECONDS] DIR...\n"
    "       quillon-history [--database URL] show [--json] SERIAL\n"
    "       quillon-history [--database URL] yield [--json] [--since DATE] [--until DATE]\n"
    "                       [--by job|type|station|day]\n"
    "       quillon-history [--database URL] report --html FILE [--since DATE]\n"
    "       quillon-history --version\n"
    "  URL   sqlite:PATH (default: the user's data folder, quillon/history.sqlite)\n"
    "        or postgresql://[USER[:PASSWORD]@][HOST][:PORT]/DATABASE[?...]\n"
    "  DATE  YYYY-MM-DD (UTC)\n";

// Records one import adds before the engine's statistics are refreshed.
constexpr uint64_t AnalyzeAfter = 10000;

int UsageError(const std::string& problem) {
    std::fprintf(stderr, "quillon-history: %s\n%s", problem.c_str(), Usage);
    return HistoryBadInput;
}

std::string DefaultUrl() {
    const char* data = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    std::string folder = data != nullptr && *data != '\0' ? data
                         : home != nullptr                ? std::string(home) + "/.local/share"
                                                          : ".";
    return "sqlite:" + folder + "/quillon/history.sqlite";
}

int Open(const std::string& url, HistoryDatabase*& db) {
    std::string error;
    int status = HistoryOpen(url, db, error);
    if (status == 0) status = MigrateHistory(db, error);
    if (status != 0) {
        std::fprintf(stderr, "quillon-history: %s\n", error.c_str());
        HistoryClose(db);
        db = nullptr;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string url = DefaultUrl();
    std::size_t at = 0;
    if (!args.empty() && args[0] == "--version") {
        std::printf("quillon-history %s\n", QUILLON_RELEASE);
        return 0;
    }
    if (!args.empty() && args[0] == "--help") {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (at + 1 < args.size() && args[at] == "--database") {
        url = args[at + 1];
        at += 2;
    }
    if (at >= args.size()) return UsageError("no command");
    const std::string command = args[at++];
    bool json = false;
    YieldQuestion question;
    std::string html;
    int interval = 5, rounds = 0;
    std::vector<std::string> operands;
    for (; at < args.size(); ++at) {
        const std::string& a = args[at];
        const bool hasValue = at + 1 < args.size();
        if (a == "--json" && (command == "show" || command == "yield")) {
            json = true;
        } else if (a == "--since" && hasValue && (command == "yield" || command == "report")) {
            question.since = args[++at];
            if (!IsDate(question.since)) return UsageError("--since " + a + ": not YYYY-MM-DD");
        } else if (a == "--until" && hasValue && command == "yield") {
            question.until = args[++at];
            if (!IsDate(question.until)) return UsageError("--until " + a + ": not YYYY-MM-DD");
        } else if (a == "--by" && hasValue && command == "yield") {
            question.by = args[++at];
            if (question.by != "job" && question.by != "type" && question.by != "station" &&
                question.by != "day") {
                return UsageError("--by " + question.by + ": not job, type, station or day");
            }
        } else if (a == "--html" && hasValue && command == "report") {
            html = args[++at];
        } else if (a == "--interval" && hasValue && command == "watch") {
            interval = std::atoi(args[++at].c_str());
            if (interval < 1) return UsageError("--interval: a whole number of seconds, 1 or more");
        } else if (a == "--rounds" && hasValue && command == "watch") {
            rounds = std::atoi(args[++at].c_str());
        } else if (!a.empty() && a[0] == '-') {
            return UsageError("unknown option " + a + " for " + command);
        } else {
            operands.push_back(a);
        }
    }
    HistoryDatabase* db = nullptr;
    int status = 0;
    if (command == "import") {
        if (operands.empty()) return UsageError("import: no file");
        if ((status = Open(url, db)) != 0) return status;
        ImportCounts counts;
        for (const std::string& file : operands) {
            uint64_t consumed = 0;
            const int one = ImportFile(db, file, 0, false, consumed, counts, stderr);
            if (one == HistoryDatabaseFailure || status == 0) status = one;
        }
        // A large import changes what the best plan of a question is.
        std::string error;
        if (counts.added >= AnalyzeAfter && HistoryAnalyze(db, error) != 0) {
            std::fprintf(stderr, "quillon-history: the database failed: %s\n", error.c_str());
            status = HistoryDatabaseFailure;
        }
        std::printf("%llu added, %llu already stored, %llu skipped\n",
                    static_cast<unsigned long long>(counts.added),
                    static_cast<unsigned long long>(counts.known),
                    static_cast<unsigned long long>(counts.skipped));
    } else if (command == "watch") {
        if (operands.empty()) return UsageError("watch: no folder");
        return WatchFolders(url, operands, interval, rounds);
    } else if (command == "show") {
        if (operands.size() != 1) return UsageError("show: one serial number");
        if ((status = Open(url, db)) != 0) return status;
        status = ShowInstrument(db, operands[0], json, stdout, stderr);
    } else if (command == "yield") {
        if (!operands.empty()) return UsageError("yield: unexpected " + operands[0]);
        if ((status = Open(url, db)) != 0) return status;
        status = ShowYield(db, question, json, stdout, stderr);
    } else if (command == "report") {
        if (html.empty() || !operands.empty()) return UsageError("report: --html FILE");
        if ((status = Open(url, db)) != 0) return status;
        status = WriteHtmlReport(db, question.since, html, stderr);
    } else {
        return UsageError("unknown command " + command);
    }
    HistoryClose(db);
    return status;
}
