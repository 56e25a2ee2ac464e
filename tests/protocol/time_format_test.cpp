// Device time as calendar text, calendar dates as device time, intervals.
#include "protocol/time_format.h"

#include <gtest/gtest.h>

#include <string>

#include "support/console_capture.h"

namespace {

std::string Timestamp(uint32_t seconds) {
    char text[TimestampTextSize];
    FormatTimestamp(Calendar, seconds, text);
    return text;
}

uint32_t SecondsOf(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    DateFields date{0, 0, month, day, year, hour, minute, second};
    return DeviceSecondsFromDate(Calendar, date);
}

std::string Interval(uint32_t seconds) {
    ConsoleCapture console;
    PrintInterval(seconds);
    return console.Output();
}

TEST(CalendarTablesTest, BuiltTablesHoldMonthStartsAndLabels) {
    CalendarTables tables{};
    BuildCalendarTables(tables);
    const int32_t common[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int32_t leap[13] = {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335};
    for (int m = 0; m < 13; ++m) {
        EXPECT_EQ(tables.commonDaysBefore[m], common[m]) << m;
        EXPECT_EQ(tables.leapDaysBefore[m], leap[m]) << m;
    }
    EXPECT_STREQ(tables.monthLabels[0], "");
    EXPECT_STREQ(tables.monthLabels[1], "01/");
    EXPECT_STREQ(tables.monthLabels[9], "09/");
    EXPECT_STREQ(tables.monthLabels[12], "12/");
}

TEST(FormatTimestampTest, DatesOfTheFirstLeapYear) {
    EXPECT_EQ(Timestamp(0), "01/01/ 2000 00:00:00");
    EXPECT_EQ(Timestamp(86399), "01/01/ 2000 23:59:59");
    EXPECT_EQ(Timestamp(5097600), "02/29/ 2000 00:00:00");
    EXPECT_EQ(Timestamp(5184000), "03/01/ 2000 00:00:00");
    EXPECT_EQ(Timestamp(31622399), "12/31/ 2000 23:59:59");
    EXPECT_EQ(Timestamp(31622400), "01/01/ 2001 00:00:00");
}

TEST(FormatTimestampTest, CommonYearsAndTheLargestValue) {
    EXPECT_EQ(Timestamp(710632543), "07/08/ 2022 21:55:43");
    EXPECT_EQ(Timestamp(126230399), "12/31/ 2003 23:59:59");
    EXPECT_EQ(Timestamp(4294967295u), "02/06/ 2136 06:28:15");
    EXPECT_EQ(Timestamp(4294967295u).size(), 20u);
}

TEST(FormatTimestampTest, ZeroShownWestOfUtcWraps) {
    const int32_t saved = UtcOffset;
    UtcOffset = 25200;  // seven hours west of UTC
    const std::string shown = Timestamp(0u - static_cast<uint32_t>(UtcOffset));
    UtcOffset = saved;
    EXPECT_EQ(shown, "02/05/ 2136 23:28:16");
}

TEST(DeviceSecondsFromDateTest, KnownDates) {
    EXPECT_EQ(SecondsOf(2000, 1, 1), 0u);
    EXPECT_EQ(SecondsOf(2001, 1, 1), 31622400u);
    EXPECT_EQ(SecondsOf(2000, 3, 1), 5184000u);
    EXPECT_EQ(SecondsOf(2004, 1, 1), 126230400u);
    EXPECT_EQ(SecondsOf(2022, 7, 8, 21, 55, 43), 710632543u);
}

TEST(DeviceSecondsFromDateTest, FillsDayCountAndLeapFlag) {
    DateFields leap{-1, -1, 3, 1, 2000, 0, 0, 0};
    DeviceSecondsFromDate(Calendar, leap);
    EXPECT_EQ(leap.dayCount, 60);
    EXPECT_EQ(leap.leapFlag, 1);
    DateFields common{-1, -1, 1, 1, 2001, 0, 0, 0};
    DeviceSecondsFromDate(Calendar, common);
    EXPECT_EQ(common.dayCount, 366);
    EXPECT_EQ(common.leapFlag, 0);
}

TEST(DeviceSecondsFromDateTest, RoundTripsWithFormatTimestamp) {
    static const int daysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int year = 2000; year <= 2099; year += 3) {
        for (int month = 1; month <= 12; ++month) {
            const int last = daysIn[month - 1] + (month == 2 && year % 4 == 0 ? 1 : 0);
            for (int day : {1, 15, last}) {
                const uint32_t seconds = SecondsOf(year, month, day, 13, 7, 59);
                char expected[TimestampTextSize];
                std::snprintf(expected, sizeof expected, "%02d/%02d/ %d 13:07:59", month, day,
                              year);
                ASSERT_EQ(Timestamp(seconds), expected);
            }
        }
    }
}

TEST(PrintIntervalTest, UnitBoundaries) {
    EXPECT_EQ(Interval(0), "0 seconds ");
    EXPECT_EQ(Interval(90), "90 seconds ");
    EXPECT_EQ(Interval(91), "1.00 minutes ");
    EXPECT_EQ(Interval(119), "1.00 minutes ");
    EXPECT_EQ(Interval(150), "2.00 minutes ");
    EXPECT_EQ(Interval(3599), "59.00 minutes ");
    EXPECT_EQ(Interval(3600), "1.00 hours ");
    EXPECT_EQ(Interval(5400), "1.00 hours ");
    EXPECT_EQ(Interval(86399), "23.00 hours ");
    EXPECT_EQ(Interval(86400), "1.00 days ");
    EXPECT_EQ(Interval(4294967295u), "49710.00 days ");
}

}  // namespace
