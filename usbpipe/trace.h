// The trace of what crosses the pipe: one text line per DuctraOpen,
// DuctraSend, DuctraReceive and DuctraClose of the program. One writer serves
// the USB library and the virtual instrument; the reading side (one line into
// its fields) serves the virtual instrument's replay and the trace reader.
// The format itself is described in doc/trace-format.md. Nothing here is
// exported from the shared libraries.
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

// --- Writing. Each traced export calls one of these once its work is done.
// The first one reads DUCTRA_TRACE: a file named there is appended to (a new
// header line starts the trace); unset or empty, nothing is ever written. A
// file that cannot be written gives one line on standard error. None of
// these changes errno or the thread's last error, which the program reports
// after a failed exchange.
void TraceOpen(int32_t result);
void TraceSend(const uint8_t* buffer, uint32_t length, int32_t timeout, int32_t result);
void TraceReceive(const uint8_t* buffer, int32_t capacity, int32_t timeout, int32_t result,
                  const uint32_t* count);
void TraceClose(int32_t result);

// Ends the trace now (the file is cut to what was written) and starts a new
// one into path (null or empty: none). For the library's own tests, which
// trace in-process without the environment.
void TraceRestart(const char* path);

// --- Reading.

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

// A file's text cut into lines, numbered from 1. NUL bytes at the end (the
// unused rest of a trace whose writer was killed) are not part of it; a last
// line without its line end is marked as cut off.
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
