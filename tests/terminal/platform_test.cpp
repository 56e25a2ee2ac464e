// The platform layer: clock substitution, key reads, error texts, time zone.
#include "terminal/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "support/console_capture.h"
#include "terminal/console_io.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

TEST(PlatformClockTest, FakeClockReplacesTheRealOneUntilGone) {
    {
        FakeClock clock;
        EXPECT_EQ(PlatformClockMs(), 0u);
        EXPECT_EQ(PlatformClockMs(), 1u);
        EXPECT_EQ(FakeClock::Now(), 2u);
    }
    const uint64_t first = PlatformClockMs();
    const uint64_t second = PlatformClockMs();
    EXPECT_GE(second, first);
}

TEST(PlatformReadKeyTest, ReadsOneByteOfAnInputThatIsNoTerminal) {
    FILE* input = std::tmpfile();
    ASSERT_NE(input, nullptr);
    std::fputs("k\n", input);
    std::rewind(input);
    EXPECT_EQ(PlatformReadKey(input), 'k');
    EXPECT_EQ(PlatformReadKey(input), '\n');
    EXPECT_EQ(PlatformReadKey(input), EOF);
    std::fclose(input);
}

TEST(PlatformLocalTimeTest, FieldsAreInRange) {
    const LocalCalendarTime now = PlatformLocalTime();
    EXPECT_GE(now.year, 2000);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LE(now.hour, 23);
    EXPECT_LE(now.minute, 59);
    EXPECT_LE(now.second, 60);
}

#if defined(_WIN32)

TEST(PlatformSystemErrorTest, WritesTheSystemTextForTheLastError) {
    ConsoleCapture console;
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(PlatformLastError(), ERROR_FILE_NOT_FOUND);
    PlatformPrintSystemError(ERROR_FILE_NOT_FOUND);
    const std::string text = console.Output();
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");  // the system text ends its own line
}

TEST(PlatformTimeZoneTest, StateIsTheQueryResult) {
    TIME_ZONE_INFORMATION information{};
    const DWORD expected = GetTimeZoneInformation(&information);
    const TimeZoneState zone = PlatformTimeZone();
    EXPECT_EQ(zone.state, expected);
    EXPECT_EQ(zone.biasMinutes, information.Bias);
}

#else

TEST(PlatformSystemErrorTest, WritesTheSystemTextForTheLastError) {
    ConsoleCapture console;
    const std::string expected = std::string(std::strerror(ENOENT)) + "\n";
    errno = ENOENT;
    EXPECT_EQ(PlatformLastError(), ENOENT);
    PlatformPrintSystemError(ENOENT);
    EXPECT_EQ(console.Output(), expected);
}

// Sets TZ for one test and puts the previous zone back.
class ZoneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* previous = std::getenv("TZ");
        hadZone_ = previous != nullptr;
        if (hadZone_) previousZone_ = previous;
    }
    void TearDown() override {
        if (hadZone_) {
            setenv("TZ", previousZone_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void UseZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

  private:
    bool hadZone_ = false;
    std::string previousZone_;
};

TEST_F(ZoneTest, ZoneWithoutDaylightRules) {
    UseZone("UTC0");
    TimeZoneState zone = PlatformTimeZone();
    EXPECT_EQ(zone.biasMinutes, 0);
    EXPECT_EQ(zone.state, 0u);

    UseZone("IST-5:30");  // east of UTC: negative bias
    zone = PlatformTimeZone();
    EXPECT_EQ(zone.biasMinutes, -330);
    EXPECT_EQ(zone.state, 0u);
}

TEST_F(ZoneTest, DaylightZoneReportsItsStandardBias) {
    // Daylight time all year but the first and last day: whatever today is
    // (almost), daylight time is in force.
    UseZone("EST5EDT,J1/0,J365/0");
    TimeZoneState zone = PlatformTimeZone();
    EXPECT_EQ(zone.biasMinutes, 300);
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    EXPECT_EQ(zone.state, local.tm_isdst > 0 ? 2u : 1u);

    // A zone that has daylight rules, whichever half of the year it is.
    UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
    zone = PlatformTimeZone();
    EXPECT_EQ(zone.biasMinutes, -60);
    now = std::time(nullptr);
    localtime_r(&now, &local);
    EXPECT_EQ(zone.state, local.tm_isdst > 0 ? 2u : 1u);
}

#endif

}  // namespace
