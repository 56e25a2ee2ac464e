// Device time (seconds since 2000-01-01 00:00:00 UTC) and intervals as text.
#pragma once

#include <cstddef>
#include <cstdint>

// Device time minus local time, in seconds; set once at start-up.
extern int32_t UtcOffset;

struct CalendarTables {
    int32_t commonDaysBefore[13];
    int32_t leapDaysBefore[13];
    char monthLabels[13][5];
};

struct DateFields {
    int32_t dayCount;  // output
    int32_t leapFlag;  // output
    int32_t month;
    int32_t day;
    int32_t year;
    int32_t hour;
    int32_t minute;
    int32_t second;
};

inline constexpr int TimestampTextSize = 21;

void BuildCalendarTables(CalendarTables& tables);
// "MM/DD/ YYYY HH:MM:SS" into text (at least 21 bytes).
void FormatTimestamp(const CalendarTables& tables, uint32_t seconds, char* text);
uint32_t DeviceSecondsFromDate(const CalendarTables& tables, DateFields& date);
// Prints seconds as seconds, minutes, hours or days (truncated unit count).
void PrintInterval(uint32_t seconds);
// The same text into text (size bytes; IntervalTextSize always suffice).
inline constexpr std::size_t IntervalTextSize = 32;
void FormatInterval(uint32_t seconds, char* text, std::size_t size);
// The process-wide tables built by start-up.
extern CalendarTables Calendar;
