// The trace format's reading side: one line of a trace into its fields, a
// file into lines. It serves the virtual instrument's replay and the trace
// reader, and is never linked into the USB library. The format itself is
// described in doc/trace-format.md; the writer is trace_writer.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ductra {

// The version the writer writes and the reader reads (the header's second word).
inline constexpr int TraceFormatVersion = 1;
// A call's bytes beyond this many are not written (its length or count still is).
inline constexpr std::size_t TraceBytesLimit = 65536;

enum class TraceCall : uint8_t { Open, Send, Receive, Close };

// A header line: a new trace starts.
struct TraceHeader {
    int version = 0;
    std::string library;   // name/version, e.g. ductra/1.0.0
    std::string platform;  // linux, windows, macos
    std::string start;     // UTC, YYYY-MM-DDTHH:MM:SS.mmmZ
};

// A call line.
struct TraceEntry {
    TraceCall call = TraceCall::Open;
    uint64_t micros = 0;  // since the trace began, when the call returned
    int32_t result = 0;
    bool hasError = false;
    int32_t error = 0;  // errno or the Windows last error of a failed call
    int32_t timeout = 0;
    int32_t capacity = 0;
    uint32_t length = 0;  // send: bytes handed over; receive: bytes delivered
    std::vector<uint8_t> bytes;
};

struct TraceLine {
    bool isHeader = false;
    TraceHeader header;
    TraceEntry entry;
};

enum class TraceLineStatus : uint8_t { Read, Damaged, UnknownVersion };

// Reads one line (without its line end). Damaged: `problem` says what is
// wrong. UnknownVersion: a header of a version other than this one, which is
// in header.version. Looks at no byte beyond the line.
TraceLineStatus ParseTraceLine(std::string_view text, TraceLine& line, std::string& problem);

// A file's text cut into lines, numbered from 1. Runs of NUL bytes (the
// unused rest of a mapped trace whose writer was killed, as 1.0.0 wrote
// them) are not part of any line: a line of NULs alone is left out, and a
// line that NULs cut short is marked as cut off, as is a last line without
// its line end.
struct TraceTextLine {
    uint32_t number = 0;
    std::string_view text;
    bool cutOff = false;
};
std::vector<TraceTextLine> SplitTraceText(std::string_view text);
// The whole of a file (a trace, or the virtual instrument's scenario) into
// text; false (errno telling why) when it cannot be read.
bool ReadWholeFile(const char* path, std::string& text);

}  // namespace ductra
