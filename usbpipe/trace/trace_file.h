// The platform's half of the trace writer: the trace file, opened for
// appending and written one whole line per system call, so that a line is
// in the file when the call that traced it returns, whatever becomes of the
// program afterwards. Nothing is ever written anywhere but at the file's
// end, and closing leaves the file as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ductra {

enum class TraceFileOpened : uint8_t { Yes, Busy, Failed };

// The file DUCTRA_TRACE names, as UTF-8; empty when it is unset or empty.
std::string TraceEnvironmentPath();

// Opens (creating it, owner-only on POSIX) the regular file at path for
// appending, and takes it as its one writer. Busy: another program is
// writing it. Failed: the system's reason is in `error`. endsLine tells
// whether the file is empty or its last byte ends a line.
TraceFileOpened TraceFileOpen(const char* path, std::string& error, bool& endsLine);
// Appends size bytes at the file's end, retrying what the system took only
// in part; false with the system's reason in `error`. Bytes that would take
// the file past the process's file-size limit are not written at all (the
// limit's reason, without the signal the system would raise).
bool TraceFileAppend(const char* data, std::size_t size, std::string& error);
// What became of the open file since this program last wrote to it.
enum class TraceFileChange : uint8_t { None, Truncated, Deleted };
// Looks at the file before an append. Truncated: it is shorter than this
// program left it (log rotation's copy and truncate), and endsLine tells
// whether what is left of it is empty or ends a line. Deleted: its name is
// gone, and whatever is written would be lost.
TraceFileChange TraceFileLook(bool& endsLine);
// Closes the file. Harmless when nothing is open.
void TraceFileClose();

// Microseconds of a steady clock.
uint64_t TraceClockMicros();
// The current UTC time as YYYY-MM-DDTHH:MM:SS.mmmZ.
std::string TraceUtcNow();

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
