// 'bd' and 'md': now as a device time, the interval question and its
// refusals.
#include <chrono>
#include <ctime>
#include <string_view>

#include "service_fixture.h"

namespace {

// Local time now, computed here from the C library: seconds since
// 2000-01-01 00:00:00 of the local calendar, and its text.
struct LocalNow {
    uint32_t seconds;
    std::string text;
};

LocalNow TakeLocalNow() {
    const std::time_t now = std::time(nullptr);
    const std::tm local = *std::localtime(&now);
    using namespace std::chrono;
    const sys_days day = year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday;
    const sys_days epoch = year{2000} / January / 1;
    const auto seconds = (day - epoch).count() * 86400LL + local.tm_hour * 3600LL +
                         local.tm_min * 60LL + local.tm_sec;
    char text[32];
    std::strftime(text, sizeof text, "%m/%d/ %Y %H:%M:%S", &local);
    return {static_cast<uint32_t>(seconds), text};
}

// Checks that the device time sent at payload offset 2 is local now plus
// UtcOffset, taken between `before` and `after`, and that the console showed
// the local text of the same second.
void ExpectNow(const Bytes& payload, const LocalNow& before, const LocalNow& after,
               const std::string& output) {
    ASSERT_GE(payload.size(), 6u);
    const uint32_t local = ReadLe32(&payload[2]) - static_cast<uint32_t>(UtcOffset);
    EXPECT_GE(local, before.seconds);
    EXPECT_LE(local, after.seconds);
    const std::string shown = local == before.seconds ? before.text : after.text;
    EXPECT_NE(output.find(" Right now is : " + shown + "\n"), std::string::npos) << output;
}

struct Dated {
    SentRequest request;
    std::string output;
};

// Runs a date command with the typed input; it must send one request of the
// given payload size carrying now.
Dated RunWithNow(void (*command)(), std::string_view input, std::size_t payloadSize) {
    ConsoleCapture console(input);
    ScriptedPipe::QueueResponse(0);
    const LocalNow before = TakeLocalNow();
    command();
    const LocalNow after = TakeLocalNow();
    const std::vector<SentRequest> sent = SentRequests();
    EXPECT_EQ(sent.size(), 1u);
    Dated dated{sent.empty() ? SentRequest{} : sent[0], console.Output()};
    EXPECT_EQ(dated.request.payload.size(), payloadSize);
    dated.request.payload.resize(payloadSize);  // the checks below index it
    ExpectNow(dated.request.payload, before, after, dated.output);
    return dated;
}

using DatesTest = ServiceTest;

TEST_F(DatesTest, BuildDateOfTheHandheldIsNowPlusTheOffset) {
    InMenu(MenuHandheld, 3);
    UtcOffset = 21600;
    const Dated dated = RunWithNow(SetBuildDate, "\n", 6);
    EXPECT_EQ(dated.request.address, 3);
    EXPECT_EQ(dated.request.command, 0x8B);
    EXPECT_EQ(dated.request.payload[0], 0x00);
    EXPECT_EQ(dated.request.payload[1], 0x00);
    EXPECT_TRUE(dated.output.starts_with("Vantor LX set build date\nSet to today's date.\n "))
        << dated.output;
    EXPECT_TRUE(dated.output.ends_with("\nPress return ")) << dated.output;
}

TEST_F(DatesTest, BuildDateOfASensorAsksItsAddress) {
    UtcOffset = -3600;
    const Dated dated = RunWithNow(SetBuildDate, "0\n7\n\n", 6);
    EXPECT_EQ(dated.request.address, 1);
    EXPECT_EQ(dated.request.payload[0], 7);
    EXPECT_TRUE(
        dated.output.starts_with("Sensor Set Build Date\nSensor address? Invalid device address.\n"
                                 "Sensor address? Set to today's date.\n"))
        << dated.output;
}

TEST_F(DatesTest, MaintenanceOfThirtyDaysSends2592000) {
    UtcOffset = 18000;
    const Dated dated = RunWithNow(SetMaintenance, "4\n30\n\n", 10);
    EXPECT_EQ(dated.request.command, 0x8C);
    EXPECT_EQ(dated.request.payload[0], 4);
    EXPECT_EQ(dated.request.payload[1], 0);
    EXPECT_EQ(ReadLe32(&dated.request.payload[6]), 2592000u);
    EXPECT_TRUE(dated.output.starts_with(
        "Sensor set maintenance date and interval\nSensor address? Set to today's date.\n"
        "Maintenance interval (in days)?  Right now is : "))
        << dated.output;
    EXPECT_TRUE(dated.output.ends_with("\nMaintenance interval= 30.00 days \nPress return "))
        << dated.output;
}

TEST_F(DatesTest, IntervalsThatAreNotDaysOrOverflowAreAskedAgain) {
    // A word, a negative number, and the first day count whose seconds pass
    // 32 bits are refused; the longest interval that fits is taken.
    const Dated dated = RunWithNow(SetMaintenance, "4\nsoon\n-1\n49711\n49710\n\n", 10);
    EXPECT_EQ(ReadLe32(&dated.request.payload[6]), 49710u * 86400u);
    EXPECT_EQ(Occurrences(dated.output, "Maintenance interval (in days)? "), 4);
    EXPECT_EQ(Occurrences(dated.output, "Interval must be 0 to 49710 days.\n"), 3);
    EXPECT_NE(dated.output.find("Maintenance interval= 49710.00 days \n"), std::string::npos);
}

TEST_F(DatesTest, MainBoardMaintenanceAsksNothingAndSendsIntervalZero) {
    InMenu(MenuMainBoard, 1);
    const Dated dated = RunWithNow(SetMaintenance, "\n", 10);
    EXPECT_EQ(dated.request.address, 1);
    EXPECT_EQ(dated.request.command, 0x8C);
    EXPECT_EQ(dated.request.payload[0], 0);
    EXPECT_EQ(ReadLe32(&dated.request.payload[6]), 0u);
    EXPECT_TRUE(dated.output.starts_with(
        "Main board set set maintenance defaults\nSet to today's date.\n "))
        << dated.output;
    EXPECT_EQ(Occurrences(dated.output, "(in days)"), 0);
    EXPECT_TRUE(dated.output.ends_with("\nMaintenance interval= 0 seconds \nPress return "))
        << dated.output;
}

}  // namespace
