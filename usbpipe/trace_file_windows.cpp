// The trace file on Windows: a view of a file mapping, moved along as the
// trace grows. A mapping larger than the file extends the file (its space is
// taken then, so a full disk stops the trace when it grows, never in the
// middle of a line).
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "trace_file.h"

namespace ductra {

namespace {

HANDLE File = INVALID_HANDLE_VALUE;
HANDLE Mapping = nullptr;  // covers the file's first Allocated bytes
uint64_t Allocated = 0;

std::string SystemText(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message =
        length > 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

uint64_t Granularity() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwAllocationGranularity > 0 ? info.dwAllocationGranularity : 65536;
}

bool ReadAt(uint64_t offset, char* into, std::size_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return SetFilePointerEx(File, at, nullptr, FILE_BEGIN) &&
           ReadFile(File, into, static_cast<DWORD>(size), &got, nullptr) && got == size;
}

}  // namespace

bool TraceFileOpen(const char* path, std::string& error, bool& cutLine) {
    TraceFileClose();
    File = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    if (File == INVALID_HANDLE_VALUE || GetFileType(File) != FILE_TYPE_DISK ||
        !GetFileSizeEx(File, &size)) {
        error = File == INVALID_HANDLE_VALUE ? SystemText(GetLastError()) : "not a regular file";
        TraceFileClose();
        return false;
    }
    char last = 0;
    if (!FindContentEnd(static_cast<uint64_t>(size.QuadPart), ReadAt, Cursor.end, last)) {
        error = SystemText(GetLastError());
        TraceFileClose();
        return false;
    }
    Allocated = static_cast<uint64_t>(size.QuadPart);
    cutLine = last != '\0' && last != '\n';
    return true;
}

char* TraceFileGrow(std::size_t size, std::string& error) {
    if (File == INVALID_HANDLE_VALUE) return nullptr;
    const auto [start, span] = NextTraceWindow(Cursor.end, size, Granularity());
    if (Mapping == nullptr || start + span > Allocated) {
        const uint64_t wanted = start + span > Allocated ? start + span : Allocated;
        HANDLE grown =
            CreateFileMappingW(File, nullptr, PAGE_READWRITE, static_cast<DWORD>(wanted >> 32),
                               static_cast<DWORD>(wanted), nullptr);
        if (grown == nullptr) {
            error = SystemText(GetLastError());
            return nullptr;
        }
        if (Mapping != nullptr) CloseHandle(Mapping);
        Mapping = grown;
        Allocated = wanted;
    }
    void* view = MapViewOfFile(Mapping, FILE_MAP_WRITE, static_cast<DWORD>(start >> 32),
                               static_cast<DWORD>(start), static_cast<SIZE_T>(span));
    if (view == nullptr) {
        error = SystemText(GetLastError());
        return nullptr;
    }
    if (Cursor.window != nullptr) UnmapViewOfFile(Cursor.window);
    Cursor.window = static_cast<char*>(view);
    Cursor.windowStart = start;
    Cursor.windowEnd = start + span;
    return Cursor.window + (Cursor.end - start);
}

void TraceFileClose() {
    if (Cursor.window != nullptr) UnmapViewOfFile(Cursor.window);
    if (Mapping != nullptr) CloseHandle(Mapping);
    Mapping = nullptr;
    if (File != INVALID_HANDLE_VALUE) {
        // A file that cannot be cut keeps NUL bytes at its end, which a
        // reader ignores.
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(Cursor.end);
        if (SetFilePointerEx(File, at, nullptr, FILE_BEGIN)) SetEndOfFile(File);
        CloseHandle(File);
    }
    File = INVALID_HANDLE_VALUE;
    Cursor = TraceCursor{};
    Allocated = 0;
}

uint64_t TraceClockMicros() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

std::string TraceUtcNow() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[96];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

const char* TracePlatformName() {
    return "windows";
}

int TraceSystemError() {
    return static_cast<int>(GetLastError());
}

TraceErrorGuard::TraceErrorGuard() : savedErrno_(errno), savedLastError_(GetLastError()) {}

TraceErrorGuard::~TraceErrorGuard() {
    errno = savedErrno_;
    SetLastError(static_cast<DWORD>(savedLastError_));
}

}  // namespace ductra
