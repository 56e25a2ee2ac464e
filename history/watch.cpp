// The watch loop: a round lists the folders, imports what each file gained
// since the last round, and sleeps.
#include "history/watch.h"

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "history/database.h"
#include "history/import.h"
#include "history/schema.h"

namespace {

volatile std::sig_atomic_t Stop = 0;

void OnSignal(int) {
    Stop = 1;
}

struct Followed {
    uint64_t inode = 0;
    uint64_t offset = 0;
};

}  // namespace

int WatchFolders(const std::string& url, const std::vector<std::string>& folders, int interval,
                 int rounds) {
    for (const std::string& folder : folders) {
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error)) {
            std::fprintf(stderr, "quillon-history: watch %s: not a folder\n", folder.c_str());
            return 2;
        }
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::map<std::string, Followed> files;
    HistoryDatabase* db = nullptr;
    // While the database is away, each round tries again; what it said is
    // printed once, when the database goes away, and its return once, after
    // a round that stored what was new.
    bool away = false;
    const auto goneAway = [&](const std::string& words) {
        if (!away) {
            std::fputs(words.c_str(), stderr);
            std::fprintf(stderr, "quillon-history: the database is away; trying again every %d s\n",
                         interval);
        }
        away = true;
        HistoryClose(db);
        db = nullptr;
    };
    for (int round = 1; Stop == 0; ++round) {
        std::string error;
        if (db == nullptr) {
            int status = HistoryOpen(url, db, error);
            if (status == 0) status = MigrateHistory(db, error);
            if (status == HistoryBadInput) {
                std::fprintf(stderr, "quillon-history: %s\n", error.c_str());
                HistoryClose(db);
                return 2;
            }
            if (status != 0) goneAway("quillon-history: " + error + "\n");
        }
        for (const std::string& folder : folders) {
            if (db == nullptr) break;
            std::error_code listing;
            for (const auto& entry : std::filesystem::directory_iterator(folder, listing)) {
                const std::string path = entry.path().string();
                if (entry.path().extension() != ".jsonl" || !entry.is_regular_file()) continue;
                struct stat st {};
                if (stat(path.c_str(), &st) != 0) continue;
                Followed& followed = files[path];
                if (followed.inode != st.st_ino ||
                    static_cast<uint64_t>(st.st_size) < followed.offset) {
                    followed = Followed{st.st_ino, 0};  // new, or rotated
                }
                if (static_cast<uint64_t>(st.st_size) == followed.offset) continue;
                ImportCounts counts;
                uint64_t consumed = followed.offset;
                // The import's complaints, held until it is known whether
                // the database failed (said once) or the file (said always).
                char* said = nullptr;
                std::size_t saidSize = 0;
                std::FILE* err = open_memstream(&said, &saidSize);
                const int status = ImportFile(db, path, followed.offset, true, consumed, counts,
                                              err != nullptr ? err : stderr);
                if (err != nullptr) std::fclose(err);
                const std::string words = said != nullptr ? std::string(said, saidSize) : "";
                std::free(said);
                if (status == HistoryDatabaseFailure) {
                    // Nothing of the file was stored: a later round reads it again.
                    goneAway(words);
                    break;
                }
                std::fputs(words.c_str(), stderr);
                followed.offset = consumed;
                if (counts.added > 0) {
                    std::printf("%s: %llu added\n", path.c_str(),
                                static_cast<unsigned long long>(counts.added));
                    std::fflush(stdout);
                }
            }
        }
        if (db != nullptr && away) {
            std::fprintf(stderr, "quillon-history: the database is back\n");
            away = false;
        }
        if (rounds > 0 && round >= rounds) break;
        for (int waited = 0; waited < interval * 10 && Stop == 0; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    HistoryClose(db);
    return 0;
}
