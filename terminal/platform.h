// The program's only door to the operating system besides the USB pipe:
// implemented once for Windows and once for POSIX.
#pragma once

#include <cstdint>
#include <cstdio>

// Milliseconds of the process clock (monotonic).
uint64_t PlatformClockMs();
// Tests may substitute the clock; nullptr restores the real one.
using ClockSource = uint64_t (*)();
void SetClockSource(ClockSource source);

// Lets the processor go for about `milliseconds` (a wait checks the clock
// after it: a sleep may end a little early or late). With a substituted
// clock nothing sleeps, since that clock moves on by itself, unless a test
// gives a sleeper here (nullptr restores the real sleep).
void PlatformSleepMs(uint64_t milliseconds);
using SleepSink = void (*)(uint64_t milliseconds);
void SetSleepSink(SleepSink sink);

// One key without echo from a terminal, or one byte of input otherwise;
// EOF at end of input.
int PlatformReadKey(FILE* input);

// Clears the console (nothing when the output is not a terminal on POSIX).
void PlatformClearScreen();

// The last error code (GetLastError / errno). Take it before printing
// anything about it: a console write may change it.
int PlatformLastError();
// Writes the operating system's text for that error code to the console;
// nothing when it has none.
void PlatformPrintSystemError(int code);

// Time-zone bias in minutes (UTC = local + bias) and state: 0 unknown,
// 1 standard time, 2 daylight time in force; other values when the query failed.
struct TimeZoneState {
    int32_t biasMinutes;
    uint32_t state;
};
TimeZoneState PlatformTimeZone();

// Local calendar time now.
struct LocalCalendarTime {
    int32_t year, month, day, hour, minute, second;
};
LocalCalendarTime PlatformLocalTime();
