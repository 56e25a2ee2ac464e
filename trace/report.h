// quillon-trace's reading of a trace file: every exchange on one line, or
// (--changes) the service record of what was done to which board.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

enum class TraceReport : uint8_t { Exchanges, Changes };

// Reads the text of the trace file `name` and prints the report to out.
// Damaged lines are named on err and skipped. Returns 0 when every line was
// read, 1 when a damaged line was skipped, 2 when the file holds a trace
// format version this reader does not know (one line on err; nothing is
// read past it).
int ReadTrace(std::string_view text, const char* name, TraceReport report, std::FILE* out,
              std::FILE* err);
