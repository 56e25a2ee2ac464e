// The trace file on POSIX: opened with O_APPEND, so that every write lands
// at the file's end wherever that is now (another writer's lines, a file
// truncated by log rotation), and locked with flock, which marks this
// program as the file's one writer. The lock belongs to the open file: a
// child that inherited the descriptor and exits releases nothing, and
// O_CLOEXEC keeps it from programs the process starts. A write that would
// pass the file-size limit is never made, so the system has no reason to
// raise SIGXFSZ, whose default kills the program; what the program does
// with that signal is left to it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "usbpipe/trace/trace_file.h"
#include "usbpipe/trace/trace_writer.h"

namespace ductra {

namespace {

int Fd = -1;
std::string Path;
// The file's end as this program last left it.
off_t End = 0;

// Whether the last byte of the file at path ends a line (true for an empty
// file, and when it cannot be read: the header then starts at once).
bool EndsLine(const char* path, off_t size) {
    if (size <= 0) return true;
    const int reader = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (reader < 0) return true;
    char last = '\n';
    const bool read = pread(reader, &last, 1, size - 1) == 1;
    close(reader);
    return !read || last == '\n';
}

}  // namespace

std::string TraceEnvironmentPath() {
    const char* path = std::getenv("DUCTRA_TRACE");
    return path != nullptr ? path : "";
}

TraceFileOpened TraceFileOpen(const char* path, std::string& error, bool& endsLine) {
    TraceFileClose();
    // A fifo or a device would block or swallow the trace: only a regular
    // file (or a new one) is taken. O_NONBLOCK keeps the open itself from
    // waiting on a fifo put there in between.
    struct stat before {};
    if (stat(path, &before) == 0 && !S_ISREG(before.st_mode)) {
        error = S_ISDIR(before.st_mode) ? "it is a folder" : "not a regular file";
        return TraceFileOpened::Failed;
    }
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                        S_IRUSR | S_IWUSR);
    if (fd < 0) {
        error = std::strerror(errno);
        return TraceFileOpened::Failed;
    }
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        error = "not a regular file";
        close(fd);
        return TraceFileOpened::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        close(fd);
        if (why == EWOULDBLOCK) return TraceFileOpened::Busy;
        error = std::strerror(why);
        return TraceFileOpened::Failed;
    }
    Fd = fd;
    Path = path;
    // Taken after the lock: no other writer can add to the file now.
    struct stat locked {};
    const bool known = fstat(fd, &locked) == 0;
    End = known ? locked.st_size : 0;
    endsLine = !known || EndsLine(path, locked.st_size);
    return TraceFileOpened::Yes;
}

TraceFileChange TraceFileLook(bool& endsLine) {
    struct stat now {};
    if (Fd < 0 || fstat(Fd, &now) != 0) return TraceFileChange::None;
    if (now.st_nlink == 0) return TraceFileChange::Deleted;
    if (now.st_size >= End) return TraceFileChange::None;
    End = now.st_size;
    endsLine = EndsLine(Path.c_str(), now.st_size);
    return TraceFileChange::Truncated;
}

bool TraceFileAppend(const char* data, std::size_t size, std::string& error) {
    rlimit limit{};
    struct stat now {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        fstat(Fd, &now) == 0 && static_cast<rlim_t>(now.st_size) + size > limit.rlim_cur) {
        error = std::strerror(EFBIG);
        return false;
    }
    while (size > 0) {
        const ssize_t written = write(Fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written < 0 ? std::strerror(errno) : "the file takes no more";
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    // O_APPEND wrote at the end, wherever it was: the offset is the end now.
    const off_t end = lseek(Fd, 0, SEEK_CUR);
    if (end >= 0) End = end;
    return true;
}

void TraceFileClose() {
    if (Fd >= 0) close(Fd);
    Fd = -1;
    Path.clear();
    End = 0;
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
    std::tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  now.tv_nsec / 1000000);
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
