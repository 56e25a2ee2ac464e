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
//
// That work is the page cache's, not the traced call's: a helper thread
// makes the next window ready while the writer fills the current one, and
// retires the window the writer has left. The writer only takes the ready
// window; it maps one itself when the helper could not start, or when a line
// does not fit the window made ready.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "trace_file.h"

namespace ductra {

namespace {

int Fd = -1;
uint64_t Allocated = 0;  // the file's size while it is open
uint64_t Released = 0;   // the pages before this offset have been let go of

struct Window {
    char* base = nullptr;  // maps [start, start + span) of the file
    uint64_t start = 0;
    uint64_t span = 0;
};

// The helper thread and what it shares with the writer, under `lock`. While
// a job is pending only the helper maps, allocates or hands over; otherwise
// only the writer does.
struct Helper {
    std::mutex lock;
    std::condition_variable changed;
    pthread_t thread{};
    bool running = false;
    bool stop = false;
    bool pending = false;
    Window retire;          // the window the writer left
    uint64_t keepFrom = 0;  // where the writer's window starts
    Window next;            // asked for (base empty), then made ready
};
Helper Help;

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

// Allocates the stretch of the file, maps it and makes it ready; false with
// the system's reason in `error`.
bool MapWindow(uint64_t start, uint64_t span, Window& window, std::string& error) {
    if (start + span > Allocated) {
#if defined(__APPLE__)
        const int result = ftruncate(Fd, static_cast<off_t>(start + span)) == 0 ? 0 : errno;
#else
        const int result = posix_fallocate(Fd, static_cast<off_t>(Allocated),
                                           static_cast<off_t>(start + span - Allocated));
#endif
        if (result != 0) {
            error = std::strerror(result);
            return false;
        }
        Allocated = start + span;
    }
    void* mapped = mmap(nullptr, static_cast<std::size_t>(span), PROT_READ | PROT_WRITE, MAP_SHARED,
                        Fd, static_cast<off_t>(start));
    if (mapped == MAP_FAILED) {
        error = std::strerror(errno);
        return false;
    }
    Prepare(mapped, static_cast<std::size_t>(span));
    window = {static_cast<char*>(mapped), start, span};
    return true;
}

void Unmap(Window& window) {
    if (window.base != nullptr) munmap(window.base, static_cast<std::size_t>(window.span));
    window = Window{};
}

// The window the writer is filling.
Window CursorWindow() {
    return {Cursor.window, Cursor.windowStart, Cursor.windowEnd - Cursor.windowStart};
}

// Unmaps a window the writer has left, starts writing out what it leaves
// behind the writer's window (from `keepFrom` on), and lets go of what was
// started one window earlier (written by now, or being written).
void Retire(Window& window, uint64_t keepFrom) {
    const uint64_t from = window.start;
    const bool mapped = window.base != nullptr;
    Unmap(window);
    if (!mapped || keepFrom <= from) return;
#if defined(SYNC_FILE_RANGE_WRITE)
    sync_file_range(Fd, static_cast<off_t>(from), static_cast<off_t>(keepFrom - from),
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

void* HelperMain(void*) {
    std::unique_lock<std::mutex> hold(Help.lock);
    for (;;) {
        Help.changed.wait(hold, [] { return Help.stop || Help.pending; });
        if (Help.stop) return nullptr;
        Window next = Help.next;
        Window retire = Help.retire;
        const uint64_t keepFrom = Help.keepFrom;
        hold.unlock();
        // Made ready first: the writer may soon need it. A window that
        // cannot be made ready is left to the writer, which meets the same
        // reason and reports it.
        std::string error;
        if (!MapWindow(next.start, next.span, next, error)) next = Window{};
        Retire(retire, keepFrom);
        hold.lock();
        Help.next = next;
        Help.retire = Window{};
        Help.pending = false;
        Help.changed.notify_all();
    }
}

// Waits until the helper has no job, and takes the window it made ready.
Window TakeReady() {
    std::unique_lock<std::mutex> hold(Help.lock);
    Help.changed.wait(hold, [] { return !Help.pending; });
    const Window ready = Help.next;
    Help.next = Window{};
    return ready;
}

void StopHelper() {
    if (!Help.running) return;
    {
        std::unique_lock<std::mutex> hold(Help.lock);
        Help.changed.wait(hold, [] { return !Help.pending; });
        Help.stop = true;
    }
    Help.changed.notify_all();
    pthread_join(Help.thread, nullptr);
    Help.running = false;
    Help.stop = false;
    Unmap(Help.next);
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
    // The helper takes no signals: they stay the program's. Without the
    // helper the writer keeps the page cache's work itself.
    sigset_t all{};
    sigset_t kept{};
    sigfillset(&all);
    const bool masked = pthread_sigmask(SIG_SETMASK, &all, &kept) == 0;
    Help.running = pthread_create(&Help.thread, nullptr, HelperMain, nullptr) == 0;
    if (masked) pthread_sigmask(SIG_SETMASK, &kept, nullptr);
    return true;
}

char* TraceFileGrow(std::size_t size, std::string& error) {
    if (Fd < 0) return nullptr;
    const uint64_t alignment = WindowAlignment();
    const auto [start, span] = NextTraceWindow(Cursor.end, size, alignment);
    Window now = TakeReady();
    if (now.base == nullptr || now.start != start || now.start + now.span < start + span) {
        Unmap(now);
        if (!MapWindow(start, span, now, error)) return nullptr;
    }
    Window left = CursorWindow();
    Cursor.window = now.base;
    Cursor.windowStart = now.start;
    Cursor.windowEnd = now.start + now.span;
    if (Help.running) {
        // The window the writer will want next: the one a short line asks
        // for when it no longer fits this one.
        const auto [nextStart, nextSpan] = NextTraceWindow(Cursor.windowEnd - 1, 1, alignment);
        {
            const std::lock_guard<std::mutex> hold(Help.lock);
            Help.retire = left;
            Help.keepFrom = now.start;
            Help.next = Window{nullptr, nextStart, nextSpan};
            Help.pending = true;
        }
        Help.changed.notify_all();
    } else {
        Retire(left, now.start);
    }
    return Cursor.window + (Cursor.end - now.start);
}

void TraceFileClose() {
    StopHelper();
    Window current = CursorWindow();
    Unmap(current);
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
