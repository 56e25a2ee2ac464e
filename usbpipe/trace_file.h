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
// writing starts after its last byte that is not a NUL, on a line of its own.
// False with the system's reason in `error`.
bool TraceFileOpen(const char* path, std::string& error);
// Room for `size` bytes after those written so far, or nullptr (with the
// system's reason in `error`) when the file cannot grow. The bytes count once
// TraceFileCommit is told how many were used.
char* TraceFileReserve(std::size_t size, std::string& error);
void TraceFileCommit(std::size_t used);
// Unmaps, cuts the file to the bytes written and closes it. Harmless when
// nothing is open.
void TraceFileClose();

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
    unsigned long savedLastError_;
};

}  // namespace ductra
