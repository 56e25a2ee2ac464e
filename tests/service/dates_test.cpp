// 'bd' and 'md': now as a device time, the interval question and its
// refusals.
#include <chrono>
#include <ctime>

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

// Checks that the device time sent at `offset` of the payload is local now
// plus UtcOffset, taken between `before` and `after`, and that the console
// showed the local text of the same second.
void ExpectNow(const Bytes& payload, std::size_t offset, const LocalNow& before,
               const LocalNow& after, const std::string& output) {
    ASSERT_GE(payload.size(), offset + 4);
    const uint32_t sent = ReadLe32(&payload[offset]);
    const uint32_t local = sent - static_cast<uint32_t>(UtcOffset);
    EXPECT_GE(local, before.seconds);
    EXPECT_LE(local, after.seconds);
    const std::string shown = local == before.seconds ? before.text : after.text;
    EXPECT_NE(output.find(" Right now is : " + shown + "\n"), std::string::npos) << output;
}

using DatesTest = ServiceTest;

TEST_F(DatesTest, BuildDateOfTheHandheldIsNowPlusTheOffset) {
    InMenu(MenuHandheld, 3);
    UtcOffset = 21600;
    ConsoleCapture console("\n");
    AnswerOk(1);
    const LocalNow before = TakeLocalNow();
    SetBuildDate();
    const LocalNow after = TakeLocalNow();
    const std::vector<SentRequest> sent = SentRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].address, 3);
    EXPECT_EQ(sent[0].command, 0x8B);
    ASSERT_EQ(sent[0].payload.size(), 6u);
    EXPECT_EQ(sent[0].payload[0], 0x00);
    EXPECT_EQ(sent[0].payload[1], 0x00);
    const std::string output = console.Output();
    ExpectNow(sent[0].payload, 2, before, after, output);
    EXPECT_TRUE(output.starts_with("Vantor LX set build date\nSet to today's date.\n ")) << output;
    EXPECT_TRUE(output.ends_with("\nPress return ")) << output;
}

TEST_F(DatesTest, BuildDateOfASensorAsksItsAddress) {
    UtcOffset = -3600;
    ConsoleCapture console("0\n7\n\n");
    AnswerOk(1);
    const LocalNow before = TakeLocalNow();
    SetBuildDate();
    const LocalNow after = TakeLocalNow();
    const std::vector<SentRequest> sent = SentRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].address, 1);
    EXPECT_EQ(sent[0].payload[0], 7);
    const std::string output = console.Output();
    ExpectNow(sent[0].payload, 2, before, after, output);
    EXPECT_TRUE(
        output.starts_with("Sensor Set Build Date\nSensor address? Invalid device address.\n"
                           "Sensor address? Set to today's date.\n"))
        << output;
}

TEST_F(DatesTest, MaintenanceOfThirtyDaysSends2592000) {
    UtcOffset = 18000;
    ConsoleCapture console("4\n30\n\n");
    AnswerOk(1);
    const LocalNow before = TakeLocalNow();
    SetMaintenance();
    const LocalNow after = TakeLocalNow();
    const std::vector<SentRequest> sent = SentRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, 0x8C);
    ASSERT_EQ(sent[0].payload.size(), 10u);
    EXPECT_EQ(sent[0].payload[0], 4);
    EXPECT_EQ(sent[0].payload[1], 0);
    EXPECT_EQ(ReadLe32(&sent[0].payload[6]), 2592000u);
    const std::string output = console.Output();
    ExpectNow(sent[0].payload, 2, before, after, output);
    EXPECT_TRUE(output.starts_with(
        "Sensor set maintenance date and interval\nSensor address? Set to today's date.\n"
        "Maintenance interval (in days)?  Right now is : "))
        << output;
    const std::string tail = "\nMaintenance interval= 30.00 days \nPress return ";
    EXPECT_TRUE(output.ends_with(tail)) << output;
}

TEST_F(DatesTest, IntervalsThatAreNotDaysOrOverflowAreAskedAgain) {
    // A word, a negative number, and the first day count whose seconds pass
    // 32 bits are refused; the longest interval that fits is taken.
    ConsoleCapture console("4\nsoon\n-1\n49711\n49710\n\n");
    AnswerOk(1);
    SetMaintenance();
    const std::vector<SentRequest> sent = SentRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(ReadLe32(&sent[0].payload[6]), 49710u * 86400u);
    const std::string output = console.Output();
    const std::string refusal = "Interval must be 0 to 49710 days.\n";
    EXPECT_EQ(Occurrences(output, "Maintenance interval (in days)? "), 4);
    EXPECT_EQ(Occurrences(output, refusal), 3);
    EXPECT_NE(output.find("Maintenance interval= 49710.00 days \n"), std::string::npos);
}

TEST_F(DatesTest, MainBoardMaintenanceAsksNothingAndSendsIntervalZero) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("\n");
    AnswerOk(1);
    SetMaintenance();
    const std::vector<SentRequest> sent = SentRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].address, 1);
    EXPECT_EQ(sent[0].command, 0x8C);
    ASSERT_EQ(sent[0].payload.size(), 10u);
    EXPECT_EQ(sent[0].payload[0], 0);
    EXPECT_EQ(ReadLe32(&sent[0].payload[6]), 0u);
    const std::string output = console.Output();
    EXPECT_TRUE(
        output.starts_with("Main board set set maintenance defaults\nSet to today's date.\n "))
        << output;
    EXPECT_EQ(Occurrences(output, "(in days)"), 0);
    const std::string tail = "\nMaintenance interval= 0 seconds \nPress return ";
    EXPECT_TRUE(output.ends_with(tail)) << output;
}

}  // namespace
