// The trace file on Windows: opened for appending only (FILE_APPEND_DATA),
// so that every write lands at the file's end, and shared for reading and
// deleting but not for writing, which makes this program the file's one
// writer: a second program's open is refused, a reader's is not. The path
// is taken as the wide text the environment holds, so that any folder name
// can be traced into.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "usbpipe/trace/trace_file.h"
#include "usbpipe/trace/trace_writer.h"

namespace ductra {

namespace {

HANDLE File = INVALID_HANDLE_VALUE;

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

std::string ToUtf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(size - 1));
    return utf8;
}

std::wstring FromUtf8(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (size <= 1) return {};
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
    wide.resize(static_cast<std::size_t>(size - 1));
    return wide;
}

// Whether the file's last byte ends a line (true for an empty file, and
// when it cannot be read: the header then starts at once).
bool EndsLine() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(File, &size) || size.QuadPart <= 0) return true;
    OVERLAPPED at{};
    const uint64_t last = static_cast<uint64_t>(size.QuadPart) - 1;
    at.Offset = static_cast<DWORD>(last);
    at.OffsetHigh = static_cast<DWORD>(last >> 32);
    char byte = '\n';
    DWORD got = 0;
    return !ReadFile(File, &byte, 1, &got, &at) || got != 1 || byte == '\n';
}

}  // namespace

std::string TraceEnvironmentPath() {
    const wchar_t* path = _wgetenv(L"DUCTRA_TRACE");
    return path != nullptr ? ToUtf8(path) : std::string();
}

TraceFileOpened TraceFileOpen(const char* path, std::string& error, bool& endsLine) {
    TraceFileClose();
    const std::wstring wide = FromUtf8(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "it is a folder";
        return TraceFileOpened::Failed;
    }
    // Reading serves only to see how the file ends; writing is append only.
    const HANDLE file = CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD why = GetLastError();
        if (why == ERROR_SHARING_VIOLATION) return TraceFileOpened::Busy;
        error = SystemText(why);
        return TraceFileOpened::Failed;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        error = "not a regular file";
        return TraceFileOpened::Failed;
    }
    File = file;
    endsLine = EndsLine();
    return TraceFileOpened::Yes;
}

bool TraceFileAppend(const char* data, std::size_t size, std::string& error) {
    while (size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(File, data, chunk, &written, nullptr)) {
            error = SystemText(GetLastError());
            return false;
        }
        if (written == 0) {
            error = "the file takes no more";
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// The file is shared with no other writer, so it cannot be truncated under
// this program; it can be deleted, which leaves it pending deletion.
TraceFileChange TraceFileLook(bool& endsLine) {
    endsLine = true;
    FILE_STANDARD_INFO info{};
    if (File == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(File, FileStandardInfo, &info, sizeof info)) {
        return TraceFileChange::None;
    }
    return info.DeletePending ? TraceFileChange::Deleted : TraceFileChange::None;
}

void TraceFileClose() {
    if (File != INVALID_HANDLE_VALUE) CloseHandle(File);
    File = INVALID_HANDLE_VALUE;
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
