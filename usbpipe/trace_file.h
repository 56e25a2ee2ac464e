// The platform's half of the trace writer: the trace file as a shared
// mapping of the file, grown in chunks. A byte copied into the mapping is the
// system's at once (its page cache), so a line is whole in the file when the
// call that wrote it returns, even if the process is killed right after; no
// system call is made per line. Closing cuts the file to the bytes written;
// a killed writer leaves the rest of its last chunk as NUL bytes, which a
// reader ignores and the next writer of the file overwrites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ductra {

// Opens (creating it, owner-only on POSIX) the file at path for appending:
// writing starts after its last byte that is not a NUL. cutLine tells that
// this byte is not a line end (a killed writer's last line). False with the
// system's reason in `error`.
bool TraceFileOpen(const char* path, std::string& error, bool& cutLine);
// Where the next line goes: the mapped window of the file and the offset of
// the next byte. The writer takes room in the window itself while there is
// enough; the platform's half moves the window on.
struct TraceCursor {
    char* window = nullptr;  // maps [windowStart, windowEnd) of the file
    uint64_t windowStart = 0;
    uint64_t windowEnd = 0;
    uint64_t end = 0;  // offset of the next byte to write
};
extern TraceCursor Cursor;

// Maps a window that holds `size` bytes after Cursor.end and returns where
// they go; nullptr (with the system's reason in `error`) when the file
// cannot grow.
char* TraceFileGrow(std::size_t size, std::string& error);
// Unmaps, cuts the file to the bytes written and closes it. Harmless when
// nothing is open.
void TraceFileClose();

// What both platforms' halves share.

// How much of the file one mapping covers at the least, and how much the
// file grows at a time.
inline constexpr uint64_t TraceWindowBytes = uint64_t{4} << 20;

// The stretch of the file to map so that `size` bytes fit after offset
// `end`: from the mapping boundary (a multiple of `granularity`) at or
// before end, a whole number of granularity units long.
struct TraceWindow {
    uint64_t start;
    uint64_t span;
};
inline TraceWindow NextTraceWindow(uint64_t end, std::size_t size, uint64_t granularity) {
    const uint64_t start = end - end % granularity;
    uint64_t span = end - start + size;
    if (span < TraceWindowBytes) span = TraceWindowBytes;
    return {start, (span + granularity - 1) / granularity * granularity};
}

// Where the content of a file of `size` bytes ends: just past its last byte
// that is not a NUL, which goes to `last` (0 for a file of NULs or an empty
// one). read(offset, into, n) reads n bytes at offset; false when one fails.
template <typename Read>
bool FindContentEnd(uint64_t size, Read read, uint64_t& end, char& last) {
    char chunk[4096];
    end = size;
    last = 0;
    while (end > 0) {
        const std::size_t n = end < sizeof chunk ? static_cast<std::size_t>(end) : sizeof chunk;
        if (!read(end - n, chunk, n)) return false;
        std::size_t kept = n;
        while (kept > 0 && chunk[kept - 1] == '\0') --kept;
        end -= n - kept;
        if (kept > 0) {
            last = chunk[kept - 1];
            break;
        }
    }
    return true;
}

// Microseconds of a steady clock.
uint64_t TraceClockMicros();
// The current UTC time as YYYY-MM-DDTHH:MM:SS.mmmZ.
std::string TraceUtcNow();
// The platform's name in the header: linux, windows, macos.
const char* TracePlatformName();

// errno, or the thread's last error on Windows: what the program would report.
int TraceSystemError();
// Saves errno and (on Windows) the thread's last error, and puts both back
// when it goes out of scope.
class TraceErrorGuard {
  public:
    TraceErrorGuard();
    ~TraceErrorGuard();
    TraceErrorGuard(const TraceErrorGuard&) = delete;
    TraceErrorGuard& operator=(const TraceErrorGuard&) = delete;

  private:
    int savedErrno_;
#if defined(_WIN32)
    unsigned long savedLastError_;
#endif
};

}  // namespace ductra
