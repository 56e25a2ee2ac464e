// Importing station results files (JSON Lines) and traces into the history.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "history/database.h"

struct ImportCounts {
    uint64_t added = 0;
    uint64_t known = 0;    // records stored before
    uint64_t skipped = 0;  // lines that did not parse
};

// Imports one file in one transaction: a results file from byte `from` on
// (whole lines only when `wholeLinesOnly`, as a file still being written is
// read; `consumed` then says how far), or a trace. Lines that do not parse
// are named on err (file and line) and skipped. Returns 0; 2 when a line was
// skipped or the file is neither a results file nor a trace (nothing stored
// from it then); 1 for the database's failure (nothing stored from the file).
int ImportFile(HistoryDatabase* db, const std::string& path, uint64_t from, bool wholeLinesOnly,
               uint64_t& consumed, ImportCounts& counts, std::FILE* err);
