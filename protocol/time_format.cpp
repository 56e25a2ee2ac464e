// Device time (seconds since 2000-01-01 00:00:00 UTC) as calendar text and
// back, and intervals in the largest fitting unit.
#include "protocol/time_format.h"

#include <cstdio>
#include <cstring>

#include "terminal/console_io.h"

int32_t UtcOffset = 0;

namespace {

constexpr uint32_t SecondsPerDay = 86400;
constexpr uint32_t DaysPerCycle = 4 * 365 + 1;  // a leap year and three common years
constexpr int32_t FirstYear = 2000;

constexpr CalendarTables MakeCalendarTables() {
    CalendarTables tables{};
    constexpr int32_t monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int32_t common = 0;
    for (int month = 1; month <= 12; ++month) {
        tables.commonDaysBefore[month] = common;
        tables.leapDaysBefore[month] = common + (month > 2 ? 1 : 0);
        common += monthDays[month - 1];
        tables.monthLabels[month][0] = static_cast<char>('0' + month / 10);
        tables.monthLabels[month][1] = static_cast<char>('0' + month % 10);
        tables.monthLabels[month][2] = '/';
        tables.monthLabels[month][3] = '\0';
    }
    return tables;
}

constexpr CalendarTables BuiltTables = MakeCalendarTables();

}  // namespace

// Valid from program load; start-up builds it again in its fixed order.
CalendarTables Calendar = BuiltTables;

void BuildCalendarTables(CalendarTables& tables) {
    tables = BuiltTables;
}

void FormatTimestamp(const CalendarTables& tables, uint32_t seconds, char* text) {
    uint32_t day = seconds / SecondsPerDay;
    const uint32_t secondOfDay = seconds % SecondsPerDay;

    int32_t year = FirstYear + static_cast<int32_t>(day / DaysPerCycle) * 4;
    day %= DaysPerCycle;
    const int32_t* daysBefore = tables.leapDaysBefore;
    if (day >= 366) {
        day -= 366;
        ++year;
        while (day >= 365) {
            day -= 365;
            ++year;
        }
        daysBefore = tables.commonDaysBefore;
    }

    int month = 12;
    while (month > 1 && daysBefore[month] > static_cast<int32_t>(day)) --month;
    const int dayOfMonth = static_cast<int>(day) - daysBefore[month] + 1;

    const int hour = static_cast<int>(secondOfDay / 3600);
    const int minute = static_cast<int>(secondOfDay % 3600 / 60);
    const int second = static_cast<int>(secondOfDay % 60);
    // Composed in room for any int, then handed over: the text is always 20
    // characters, and the caller's buffer is never written beyond 21 bytes.
    char composed[80];
    std::snprintf(composed, sizeof composed, "%.3s%.2d/ %d %.2d:%.2d:%.2d",
                  tables.monthLabels[month], dayOfMonth, static_cast<int>(year), hour, minute,
                  second);
    std::memcpy(text, composed, TimestampTextSize - 1);
    text[TimestampTextSize - 1] = '\0';
}

uint32_t DeviceSecondsFromDate(const CalendarTables& tables, DateFields& date) {
    const int32_t years = date.year - FirstYear;
    date.leapFlag = date.year % 4 == 0 ? 1 : 0;
    // The month indexes a 13-entry table: keep a wrong month inside it.
    const int32_t month = date.month < 1 ? 1 : (date.month > 12 ? 12 : date.month);
    date.dayCount = years * 365 + years / 4 + tables.commonDaysBefore[month] -
                    (month <= 2 ? date.leapFlag : 0) + date.day;
    // Unsigned arithmetic: the count wraps at 32 bits as device time does.
    uint32_t result = static_cast<uint32_t>(date.dayCount);
    result = result * 24u + static_cast<uint32_t>(date.hour);
    result = result * 60u + static_cast<uint32_t>(date.minute);
    result = result * 60u + static_cast<uint32_t>(date.second);
    return result;
}

void FormatInterval(uint32_t seconds, char* text, std::size_t size) {
    if (seconds <= 90) {
        std::snprintf(text, size, "%d seconds ", static_cast<int>(seconds));
    } else if (seconds < 3600) {
        std::snprintf(text, size, "%.2f minutes ", static_cast<double>(seconds / 60));
    } else if (seconds < SecondsPerDay) {
        std::snprintf(text, size, "%.2f hours ", static_cast<double>(seconds / 3600));
    } else {
        std::snprintf(text, size, "%.2f days ", static_cast<double>(seconds / SecondsPerDay));
    }
}

void PrintInterval(uint32_t seconds) {
    char text[IntervalTextSize];
    FormatInterval(seconds, text, sizeof text);
    ConsolePrint("%s", text);
}
