// The platform layer on POSIX systems.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "terminal/console_io.h"
#include "terminal/platform.h"

namespace {

ClockSource Clock = nullptr;
SleepSink Sleeper = nullptr;

const std::chrono::steady_clock::time_point ProgramStart = std::chrono::steady_clock::now();

uint64_t SteadyClockMs() {
    const auto elapsed = std::chrono::steady_clock::now() - ProgramStart;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

// One key straight from the terminal: no echo, no wait for the line end.
// Read below the stdio buffer, so that the rest of a typed answer still
// waiting there is not taken for the key.
int ReadTerminalKey() {
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return getc(stdin);
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    unsigned char key = 0;
    ssize_t got = read(STDIN_FILENO, &key, 1);
    while (got < 0 && errno == EINTR) got = read(STDIN_FILENO, &key, 1);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return got == 1 ? key : EOF;
}

// UTC offset of the local time at noon on the first of the given month of
// this year, and whether daylight time is in force then.
bool ProbeMonth(int year, int month, long& offsetSeconds) {
    std::tm probe{};
    probe.tm_year = year;
    probe.tm_mon = month;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    const std::time_t when = std::mktime(&probe);
    std::tm local{};
    localtime_r(&when, &local);
    offsetSeconds = local.tm_gmtoff;
    return local.tm_isdst > 0;
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
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

uint64_t PlatformClockMs() {
    return Clock != nullptr ? Clock() : SteadyClockMs();
}

int PlatformReadKey(FILE* input) {
    if (input == stdin && isatty(STDIN_FILENO)) {
        fflush(stdout);
        return ReadTerminalKey();
    }
    return getc(input);
}

void PlatformClearScreen() {
    if (!isatty(STDOUT_FILENO)) return;
    fflush(ConsoleOutput());
    fputs("\x1b[2J\x1b[H", stdout);
    fflush(stdout);
}

int PlatformLastError() {
    return errno;
}

void PlatformPrintSystemError(int code) {
    // The system text ends its own line, as it does on Windows.
    const char* text = std::strerror(code);
    if (text == nullptr || *text == '\0') return;
    ConsolePrint("%s\n", text);
}

TimeZoneState PlatformTimeZone() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);

    // A zone has daylight rules when January or July of this year is in
    // daylight time; standard time is the offset of the month that is not.
    long january = 0;
    long july = 0;
    const bool januaryDaylight = ProbeMonth(local.tm_year, 0, january);
    const bool julyDaylight = ProbeMonth(local.tm_year, 6, july);
    const bool hasDaylightRules = januaryDaylight || julyDaylight;

    long standardOffset = local.tm_gmtoff;
    if (local.tm_isdst > 0) {
        if (!januaryDaylight) {
            standardOffset = january;
        } else if (!julyDaylight) {
            standardOffset = july;
        } else {
            standardOffset = local.tm_gmtoff - 3600;
        }
    }

    TimeZoneState zone{};
    zone.biasMinutes = static_cast<int32_t>(-standardOffset / 60);
    zone.state = local.tm_isdst > 0 ? 2u : (hasDaylightRules ? 1u : 0u);
    return zone;
}

LocalCalendarTime PlatformLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return LocalCalendarTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                             local.tm_hour,        local.tm_min,     local.tm_sec};
}
