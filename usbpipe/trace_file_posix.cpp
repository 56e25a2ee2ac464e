// The trace file on POSIX: a MAP_SHARED window of the file, moved along as
// the trace grows. Each new stretch of the file is allocated before it is
// mapped (posix_fallocate), so that a full disk stops the trace instead of
// killing the program with SIGBUS when a line lands on a page it cannot store.
//
// Faulting in the page cache page by page would cost more than the lines
// themselves (several microseconds per 4 KiB page on a virtual machine), so
// a new window is asked for in large pages where the system offers them and
// made writable in one call (MADV_HUGEPAGE, MADV_POPULATE_WRITE; windows
// start on a 2 MiB boundary of the file so that large pages fit them). Where
// either is not known the pages are simply faulted in as they are written.
// What lies behind a new window is handed to the disk at once and let go of
// one window later, so that a long trace keeps reusing the same memory
// instead of taking fresh memory (which a virtual machine's host may first
// have to supply) for every window.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "trace_file.h"

namespace ductra {

namespace {

int Fd = -1;
uint64_t Allocated = 0;  // the file's size while it is open
uint64_t Released = 0;   // the pages before this offset have been let go of

// Where windows start: on a large-page boundary of the file.
uint64_t WindowAlignment() {
    constexpr uint64_t kLargePage = uint64_t{2} << 20;
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 && static_cast<uint64_t>(page) > kLargePage ? static_cast<uint64_t>(page)
                                                                : kLargePage;
}

// Asks for the window's pages at once, in large pages where offered; a
// system that refuses leaves them to be faulted in one by one.
void Prepare(void* window, std::size_t size) {
#if defined(MADV_HUGEPAGE)
    madvise(window, size, MADV_HUGEPAGE);
#endif
#if defined(MADV_POPULATE_WRITE)
    madvise(window, size, MADV_POPULATE_WRITE);
#endif
    static_cast<void>(window);
    static_cast<void>(size);
}

// Starts writing out what the window now ending leaves behind, and lets go
// of what was started one window earlier (written by now, or being written).
void HandOver(uint64_t from, uint64_t to) {
    if (to <= from) return;
#if defined(SYNC_FILE_RANGE_WRITE)
    sync_file_range(Fd, static_cast<off_t>(from), static_cast<off_t>(to - from),
                    SYNC_FILE_RANGE_WRITE);
#endif
#if defined(POSIX_FADV_DONTNEED)
    if (Released < from) {
        posix_fadvise(Fd, static_cast<off_t>(Released), static_cast<off_t>(from - Released),
                      POSIX_FADV_DONTNEED);
    }
#endif
    Released = from;
}

}  // namespace

bool TraceFileOpen(const char* path, std::string& error, bool& cutLine) {
    TraceFileClose();
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat status {};
    const bool known = fstat(fd, &status) == 0;
    if (!known || !S_ISREG(status.st_mode)) {
        error = known ? "not a regular file" : std::strerror(errno);
        close(fd);
        return false;
    }
    const auto read = [fd](uint64_t at, char* into, std::size_t n) {
        return pread(fd, into, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    };
    uint64_t end = 0;
    char last = 0;
    if (!FindContentEnd(static_cast<uint64_t>(status.st_size), read, end, last)) {
        error = std::strerror(errno);
        close(fd);
        return false;
    }
    Fd = fd;
    Cursor.end = end;
    Released = end - end % WindowAlignment();
    Allocated = static_cast<uint64_t>(status.st_size);
    cutLine = last != '\0' && last != '\n';
    return true;
}

char* TraceFileGrow(std::size_t size, std::string& error) {
    if (Fd < 0) return nullptr;
    const auto [start, span] = NextTraceWindow(Cursor.end, size, WindowAlignment());
    if (start + span > Allocated) {
#if defined(__APPLE__)
        const int result = ftruncate(Fd, static_cast<off_t>(start + span)) == 0 ? 0 : errno;
#else
        const int result = posix_fallocate(Fd, static_cast<off_t>(Allocated),
                                           static_cast<off_t>(start + span - Allocated));
#endif
        if (result != 0) {
            error = std::strerror(result);
            return nullptr;
        }
        Allocated = start + span;
    }
    void* mapped = mmap(nullptr, static_cast<std::size_t>(span), PROT_READ | PROT_WRITE, MAP_SHARED,
                        Fd, static_cast<off_t>(start));
    if (mapped == MAP_FAILED) {
        error = std::strerror(errno);
        return nullptr;
    }
    Prepare(mapped, static_cast<std::size_t>(span));
    if (Cursor.window != nullptr) {
        munmap(Cursor.window, static_cast<std::size_t>(Cursor.windowEnd - Cursor.windowStart));
        HandOver(Cursor.windowStart, start);
    }
    Cursor.window = static_cast<char*>(mapped);
    Cursor.windowStart = start;
    Cursor.windowEnd = start + span;
    return Cursor.window + (Cursor.end - start);
}

void TraceFileClose() {
    if (Cursor.window != nullptr) {
        munmap(Cursor.window, static_cast<std::size_t>(Cursor.windowEnd - Cursor.windowStart));
    }
    if (Fd >= 0) {
        // A file that cannot be cut keeps NUL bytes at its end, which a
        // reader ignores.
        const int cut = ftruncate(Fd, static_cast<off_t>(Cursor.end));
        static_cast<void>(cut);
        close(Fd);
    }
    Fd = -1;
    Cursor = TraceCursor{};
    Allocated = 0;
    Released = 0;
}

uint64_t TraceClockMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

std::string TraceUtcNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm fields{};
    gmtime_r(&now.tv_sec, &fields);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", fields.tm_year + 1900,
                  fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec,
                  static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

const char* TracePlatformName() {
#if defined(__APPLE__)
    return "macos";
#else
    return "linux";
#endif
}

int TraceSystemError() {
    return errno;
}

TraceErrorGuard::TraceErrorGuard() : savedErrno_(errno) {}

TraceErrorGuard::~TraceErrorGuard() {
    errno = savedErrno_;
}

}  // namespace ductra
