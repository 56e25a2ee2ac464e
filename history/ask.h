// The history's questions: an instrument's timeline, the yield, the report.
#pragma once

#include <cstdio>
#include <string>

#include "history/database.h"

// The timeline of the instrument with this serial number (or of the
// instrument a board with this serial number was seen in), as text or JSON.
// Returns 0, 3 when nothing is recorded for it, 1 for the database's failure.
int ShowInstrument(HistoryDatabase* db, const std::string& serial, bool json, std::FILE* out,
                   std::FILE* err);

struct YieldQuestion {
    std::string since;  // YYYY-MM-DD, or empty: from the first record
    std::string until;  // YYYY-MM-DD (inclusive), or empty: to the last
    std::string by;     // job, type, station, day, or empty: one line for all
};

// First-pass and final yield of the station runs started in the period,
// grouped as asked, with the failed runs counted by kind. Returns 0 or 1.
int ShowYield(HistoryDatabase* db, const YieldQuestion& question, bool json, std::FILE* out,
              std::FILE* err);

// The supervisor's page: yield per day as an SVG chart, the failure kinds,
// the instruments with their last firmware. Returns 0, 1, or 2 when the
// file cannot be written.
int WriteHtmlReport(HistoryDatabase* db, const std::string& since, const std::string& path,
                    std::FILE* err);

// "YYYY-MM-DD": a real date.
bool IsDate(const std::string& text);
