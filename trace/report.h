// quillon-trace's reading of a trace file: every exchange on one line, or
// (--changes) the service record of what was done to which board.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "usbpipe/trace/trace_format.h"

enum class TraceReport : uint8_t { Exchanges, Changes };

// Reads the text of the trace file `name` and prints the report to out.
// Damaged lines are named on err and skipped. Returns 0 when every line was
// read, 1 when a damaged line was skipped, 2 when the file holds a trace
// format version this reader does not know (one line on err; nothing is
// read past it).
int ReadTrace(std::string_view text, const char* name, TraceReport report, std::FILE* out,
              std::FILE* err);

// One entry of a trace's service record: a change written to a board, or a
// firmware download, as --changes prints it ("<utc>  <where>: <text>").
struct TraceChange {
    uint64_t micros = 0;  // since the trace began
    std::string utc;      // "2026-03-02 08:15:04 UTC" (milliseconds when the start is unknown)
    uint8_t address = 0;  // bus address of the device
    int board = -1;       // board address, -1 when the request names none
    bool download = false;
    std::string where;    // "1 sonde, board 2"
    std::string words;    // "serial number \"XY-9\"", or the download's record
    std::string verdict;  // "accepted", or the failure (empty for a download)
    std::string text;     // what follows "<where>: " in the report
};

// One trace of a file with its service record and the serial numbers the
// session read from a board's configuration record (bus address, board,
// serial number, in the order read).
struct TraceBoardSerial {
    uint8_t address = 0;
    int board = 0;
    std::string serial;
};
struct TraceSession {
    uint32_t number = 0;     // 1 for the file's first trace
    uint32_t line = 0;       // the header's line
    std::size_t offset = 0;  // the header's byte offset in the file
    ductra::TraceHeader header;
    std::string startUtc;  // the start as an ISO 8601 UTC second, empty when unknown
    std::vector<TraceChange> changes;
    std::vector<TraceBoardSerial> serials;
};

// Every trace of the file's text, with the damaged lines named on err as
// ReadTrace names them (after the program's name). Same return codes as
// ReadTrace.
int ReadTraceSessions(std::string_view text, const char* name, const char* program,
                      std::vector<TraceSession>& sessions, std::FILE* err);
