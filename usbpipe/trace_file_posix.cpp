// The trace file on POSIX: a MAP_SHARED window of the file, moved along as
// the trace grows. Each new stretch of the file is allocated before it is
// mapped (posix_fallocate), so that a full disk stops the trace instead of
// killing the program with SIGBUS when a line lands on a page it cannot store.
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

// How much of the file one mapping covers, and how much it grows at a time.
constexpr std::size_t kWindowBytes = std::size_t{4} << 20;

int Fd = -1;
char* Window = nullptr;  // the mapping of [WindowStart, WindowStart + WindowSize)
uint64_t WindowStart = 0;
std::size_t WindowSize = 0;
uint64_t End = 0;        // offset of the next byte to write
uint64_t Allocated = 0;  // the file's size while it is open

uint64_t PageSize() {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

// The offset just past the last byte of the file that is not a NUL, and that
// byte (0 for an empty file); -1 when the file cannot be read.
int64_t ContentEnd(int fd, uint64_t size, char& last) {
    char chunk[4096];
    uint64_t end = size;
    last = 0;
    while (end > 0) {
        const std::size_t n = end < sizeof chunk ? static_cast<std::size_t>(end) : sizeof chunk;
        if (pread(fd, chunk, n, static_cast<off_t>(end - n)) != static_cast<ssize_t>(n)) return -1;
        std::size_t kept = n;
        while (kept > 0 && chunk[kept - 1] == '\0') --kept;
        end -= n - kept;
        if (kept > 0) {
            last = chunk[kept - 1];
            break;
        }
    }
    return static_cast<int64_t>(end);
}

}  // namespace

bool TraceFileOpen(const char* path, std::string& error) {
    TraceFileClose();
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = S_ISREG(status.st_mode) ? std::strerror(errno) : "not a regular file";
        close(fd);
        return false;
    }
    char last = 0;
    const int64_t end = ContentEnd(fd, static_cast<uint64_t>(status.st_size), last);
    if (end < 0) {
        error = std::strerror(errno);
        close(fd);
        return false;
    }
    Fd = fd;
    End = static_cast<uint64_t>(end);
    Allocated = static_cast<uint64_t>(status.st_size);
    // What a killed writer left of a line stays a line of its own.
    if (last != '\0' && last != '\n') {
        char* at = TraceFileReserve(1, error);
        if (at == nullptr) {
            TraceFileClose();
            return false;
        }
        *at = '\n';
        TraceFileCommit(1);
    }
    return true;
}

char* TraceFileReserve(std::size_t size, std::string& error) {
    if (Fd < 0) return nullptr;
    if (Window != nullptr && End + size <= WindowStart + WindowSize) {
        return Window + (End - WindowStart);
    }
    const uint64_t page = PageSize();
    const uint64_t start = End - End % page;
    uint64_t span = End - start + size;
    if (span < kWindowBytes) span = kWindowBytes;
    span = (span + page - 1) / page * page;
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
    if (Window != nullptr) munmap(Window, WindowSize);
    Window = static_cast<char*>(mapped);
    WindowStart = start;
    WindowSize = static_cast<std::size_t>(span);
    return Window + (End - WindowStart);
}

void TraceFileCommit(std::size_t used) {
    End += used;
}

void TraceFileClose() {
    if (Window != nullptr) munmap(Window, WindowSize);
    Window = nullptr;
    WindowStart = 0;
    WindowSize = 0;
    if (Fd >= 0) {
        // A file that cannot be cut keeps NUL bytes at its end, which a
        // reader ignores.
        const int cut = ftruncate(Fd, static_cast<off_t>(End));
        static_cast<void>(cut);
        close(Fd);
    }
    Fd = -1;
    End = 0;
    Allocated = 0;
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

TraceErrorGuard::TraceErrorGuard() : savedErrno_(errno), savedLastError_(0) {}

TraceErrorGuard::~TraceErrorGuard() {
    errno = savedErrno_;
}

}  // namespace ductra
