// The platform layer on Windows.
#include <windows.h>

#include <conio.h>

#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <string>

#include "terminal/console_io.h"
#include "terminal/platform.h"

namespace {

ClockSource Clock = nullptr;
SleepSink Sleeper = nullptr;

// The runtime's process clock: milliseconds since the program started.
uint64_t ProcessClockMs() {
    const std::clock_t ticks = std::clock();
    return static_cast<uint64_t>(ticks) * 1000u / CLOCKS_PER_SEC;
}

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

void SetClockSource(ClockSource source) {
    Clock = source;
}

void SetSleepSink(SleepSink sink) {
    Sleeper = sink;
}

void PlatformSleepMs(uint64_t milliseconds) {
    if (Sleeper != nullptr) {
        Sleeper(milliseconds);
        return;
    }
    if (Clock != nullptr || milliseconds == 0) return;
    Sleep(milliseconds >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(milliseconds));
}

uint64_t PlatformClockMs() {
    return Clock != nullptr ? Clock() : ProcessClockMs();
}

int PlatformReadKey(FILE* input) {
    // Under a pipe _getch has no keyboard to read: take one byte instead.
    if (input == stdin && IsConsole(STD_INPUT_HANDLE)) {
        fflush(stdout);
        return _getch();
    }
    return getc(input);
}

void PlatformClearScreen() {
    // Only a console has a screen to clear; a pipe gets the same bytes as
    // on every other platform.
    if (!IsConsole(STD_OUTPUT_HANDLE)) return;
    fflush(ConsoleOutput());
    fflush(stdout);
    std::system("cls");
}

int PlatformLastError() {
    return static_cast<int>(GetLastError());
}

void PlatformPrintSystemError(int code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), 0x400, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length != 0 && text != nullptr) {
        FILE* out = ConsoleOutput();
        fflush(out);
        if (out == stdout) {
            // The wide console stream: the runtime turns it into the
            // console's characters.
            fputws(text, out);
        } else {
            // A substituted stream may be binary, where wide output would
            // land as raw UTF-16: hand it the same characters as narrow text.
            const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
            if (size > 1) {
                std::string narrow(static_cast<std::size_t>(size), '\0');
                WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), size, nullptr, nullptr);
                fputs(narrow.c_str(), out);
            }
        }
        fflush(out);
    }
    if (text != nullptr) LocalFree(text);
}

TimeZoneState PlatformTimeZone() {
    TIME_ZONE_INFORMATION information{};
    const DWORD result = GetTimeZoneInformation(&information);
    TimeZoneState zone{};
    zone.biasMinutes = static_cast<int32_t>(information.Bias);
    zone.state = static_cast<uint32_t>(result);
    return zone;
}

LocalCalendarTime PlatformLocalTime() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (local == nullptr) return LocalCalendarTime{2000, 1, 1, 0, 0, 0};
    return LocalCalendarTime{local->tm_year + 1900, local->tm_mon + 1, local->tm_mday,
                             local->tm_hour,        local->tm_min,     local->tm_sec};
}
