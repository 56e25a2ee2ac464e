// The console helpers against a scripted keyboard and a captured screen.
#include "terminal/console_io.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/console_capture.h"
#include "terminal/platform.h"

namespace {

// Reads the next token with a generous buffer, to see what a read left behind.
std::string NextToken() {
    char token[64] = "unchanged";
    EXPECT_EQ(ConsoleScan("%s", token, sizeof token), 1);
    return token;
}

TEST(ConsolePrintTest, FormatsLikePrintf) {
    ConsoleCapture console;
    EXPECT_EQ(ConsolePrint("%1.6e", 1.0), 12);
    EXPECT_EQ(ConsolePrint(" %.2X|%-4d|%s|%.2f", 0xAB, 7, "txt", 2.0), 17);
    EXPECT_EQ(console.Output(), "1.000000e+00 AB|7   |txt|2.00");
}

TEST(ConsolePrintTest, StreamPrintWritesToTheGivenStream) {
    ConsoleCapture console;
    ConsolePrint("before ");
    FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(StreamPrint(stream, "error %d: %s\n", 5, "file"), 14);
    std::rewind(stream);
    char text[32] = {};
    ASSERT_NE(std::fgets(text, sizeof text, stream), nullptr);
    std::fclose(stream);
    EXPECT_STREQ(text, "error 5: file\n");
    EXPECT_EQ(console.Output(), "before ");
}

TEST(ReadNumberTest, NumberFollowedByTextLeavesTheText) {
    ConsoleCapture console("12abc\n");
    EXPECT_EQ(ReadNumber(), 12);
    EXPECT_EQ(NextToken(), "abc");
}

TEST(ReadNumberTest, TextIsDiscardedAndGivesZero) {
    ConsoleCapture console("abc 5\n");
    EXPECT_EQ(ReadNumber(), 0);
    EXPECT_EQ(ReadNumber(), 5);
}

TEST(ReadNumberTest, ReturnsTheLowByte) {
    ConsoleCapture console("300 -1 256 257 0 255\n");
    EXPECT_EQ(ReadNumber(), 44);
    EXPECT_EQ(ReadNumber(), 255);
    EXPECT_EQ(ReadNumber(), 0);
    EXPECT_EQ(ReadNumber(), 1);
    EXPECT_EQ(ReadNumber(), 0);
    EXPECT_EQ(ReadNumber(), 255);
}

TEST(ReadNumberTest, OverLongGarbageIsWhollyDiscarded) {
    // Longer than the 8-character scratch buffer: none of it may come back
    // as the next answer.
    ConsoleCapture console("qwertyuiopasdfghjkl123456789 7\n");
    EXPECT_EQ(ReadNumber(), 0);
    EXPECT_EQ(ReadNumber(), 7);
}

TEST(ReadNumberTest, ARepeatedQuestionGetsPastBadAnswers) {
    // The callers ask again while the answer is 0.
    ConsoleCapture console("x 0 address! 3\n");
    int asked = 0;
    uint8_t answer = 0;
    while (answer == 0) {
        ++asked;
        answer = ReadNumber();
    }
    EXPECT_EQ(answer, 3);
    EXPECT_EQ(asked, 4);
}

TEST(ReadDecimalTest, StoresOnlyANumber) {
    ConsoleCapture console("-42 nope 17\n");
    int32_t value = 99;
    EXPECT_TRUE(ReadDecimal(value));
    EXPECT_EQ(value, -42);
    EXPECT_FALSE(ReadDecimal(value));
    EXPECT_EQ(value, -42);
    EXPECT_TRUE(ReadDecimal(value));
    EXPECT_EQ(value, 17);
}

TEST(ConsoleScanTest, DecimalLikeScanf) {
    ConsoleCapture console("  +15\n\t-7x 8\n");
    int a = 0;
    int b = 0;
    EXPECT_EQ(ConsoleScan("%d %d", &a, &b), 2);
    EXPECT_EQ(a, 15);
    EXPECT_EQ(b, -7);
    int c = 123;
    EXPECT_EQ(ConsoleScan("%d", &c), 0);  // "x" is not a number and stays
    EXPECT_EQ(c, 123);
    EXPECT_EQ(NextToken(), "x");
    EXPECT_EQ(ConsoleScan("%d", &c), 1);
    EXPECT_EQ(c, 8);
}

TEST(ConsoleScanTest, DecimalBeyondThirtyTwoBitsSaturates) {
    ConsoleCapture console("99999999999999999999 -99999999999999999999 2147483647 -2147483648\n");
    int value = 0;
    EXPECT_EQ(ConsoleScan("%d", &value), 1);
    EXPECT_EQ(value, INT32_MAX);
    EXPECT_EQ(ConsoleScan("%d", &value), 1);
    EXPECT_EQ(value, INT32_MIN);
    EXPECT_EQ(ConsoleScan("%d", &value), 1);
    EXPECT_EQ(value, INT32_MAX);
    EXPECT_EQ(ConsoleScan("%d", &value), 1);
    EXPECT_EQ(value, INT32_MIN);
}

TEST(ConsoleScanTest, TokenThatFitsIsStored) {
    ConsoleCapture console("ab\n");
    char answer[3] = "zz";
    EXPECT_EQ(ConsoleScan("%s", answer, sizeof answer), 1);
    EXPECT_STREQ(answer, "ab");
}

TEST(ConsoleScanTest, TokenThatDoesNotFitIsDroppedWhole) {
    ConsoleCapture console("abc cn\n");
    char answer[4] = {'x', 'y', 'z', 'w'};
    EXPECT_EQ(ConsoleScan("%s", answer, std::size_t{3}), 0);
    EXPECT_STREQ(answer, "");
    EXPECT_EQ(answer[3], 'w');  // nothing written past the buffer size
    EXPECT_EQ(ConsoleScan("%s", answer, std::size_t{3}), 1);
    EXPECT_STREQ(answer, "cn");
}

TEST(ConsoleScanTest, LongTokenNeverBecomesTheNextAnswer) {
    ConsoleCapture console("abcdefghijklmnopqrstuvwxyz0123456789 q\n");
    char answer[3] = "zz";
    EXPECT_EQ(ConsoleScan("%s", answer, sizeof answer), 0);
    EXPECT_EQ(ConsoleScan("%s", answer, sizeof answer), 1);
    EXPECT_STREQ(answer, "q");
}

TEST(ConsoleScanTest, WidthBelowTheBufferSizeLeavesTheRestLikeScanf) {
    ConsoleCapture console("SN0123456789ABCDEFGHIJKL next\n");
    char serial[20] = {};
    EXPECT_EQ(ConsoleScan("%19s", serial, sizeof serial), 1);
    EXPECT_STREQ(serial, "SN0123456789ABCDEFG");
    EXPECT_EQ(NextToken(), "HIJKL");
    EXPECT_EQ(NextToken(), "next");
}

TEST(ConsoleScanTest, WidthAboveTheBufferSizeStillBoundsTheStore) {
    ConsoleCapture console("abcd ef\n");
    char answer[4] = {'1', '2', '3', '4'};
    EXPECT_EQ(ConsoleScan("%10s", answer, std::size_t{3}), 0);
    EXPECT_EQ(answer[0], '\0');
    EXPECT_EQ(answer[3], '4');
    EXPECT_EQ(ConsoleScan("%10s", answer, std::size_t{3}), 1);
    EXPECT_STREQ(answer, "ef");
}

TEST(ConsoleScanTest, FlushesThePromptBeforeReading) {
    ConsoleCapture console("7\n");
    ConsolePrint("Sensor address? ");
    int value = 0;
    EXPECT_EQ(ConsoleScan("%d", &value), 1);
    EXPECT_EQ(console.Output(), "Sensor address? ");
}

TEST(DiscardRestOfTokenTest, StopsAtTheBlank) {
    ConsoleCapture console("tail of token\n");
    DiscardRestOfToken();
    EXPECT_EQ(NextToken(), "of");
}

TEST(PressReturnTest, PromptsAndTakesAnyKey) {
    ConsoleCapture console("xy");
    EXPECT_EQ(PressReturn(), 'x');
    EXPECT_EQ(console.Output(), "Press return ");
    EXPECT_EQ(PressReturn(), 'y');
}

TEST(PressReturnTest, TakesTheLineEndLeftByTheAnswerBefore) {
    ConsoleCapture console("5\n\ncn\n");
    EXPECT_EQ(ReadNumber(), 5);
    EXPECT_EQ(PressReturn(), '\n');
    char answer[3] = {};
    EXPECT_EQ(ConsoleScan("%s", answer, sizeof answer), 1);
    EXPECT_STREQ(answer, "cn");
}

TEST(EndOfInputTest, EveryReadEndsTheProgramWhenInputRunsOut) {
    {
        ConsoleCapture console("");
        int value = 0;
        EXPECT_THROW(ConsoleScan("%d", &value), EndOfInputReached);
    }
    {
        ConsoleCapture console("  \n\n");
        char text[3];
        EXPECT_THROW(ConsoleScan("%s", text, sizeof text), EndOfInputReached);
    }
    {
        ConsoleCapture console("");
        EXPECT_THROW(ReadNumber(), EndOfInputReached);
    }
    {
        ConsoleCapture console("garbage");  // discarded, then nothing is left
        EXPECT_EQ(ReadNumber(), 0);
        EXPECT_THROW(ReadNumber(), EndOfInputReached);
    }
    {
        ConsoleCapture console("\n");
        int32_t value = 0;
        EXPECT_THROW(ReadDecimal(value), EndOfInputReached);
    }
    {
        ConsoleCapture console("-");
        int value = 0;
        EXPECT_THROW(ConsoleScan("%d", &value), EndOfInputReached);
    }
    {
        ConsoleCapture console("");
        EXPECT_THROW(PressReturn(), EndOfInputReached);
        EXPECT_EQ(console.Output(), "Press return ");
    }
}

TEST(EndOfInputTest, ALastAnswerWithoutLineEndIsStillRead) {
    ConsoleCapture console("42");
    EXPECT_EQ(ReadNumber(), 42);
    EXPECT_THROW(ReadNumber(), EndOfInputReached);
}

int HandlerCalls = 0;
void CountEndOfInput() {
    ++HandlerCalls;
}

TEST(EndOfInputTest, HelpersReturnQuietlyWhenTheHandlerReturns) {
    ConsoleCapture console("");
    SetEndOfInputHandler(&CountEndOfInput);
    HandlerCalls = 0;
    int value = 5;
    EXPECT_EQ(ConsoleScan("%d", &value), ConsoleScanEnd);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(ReadNumber(), 0);
    int32_t decimal = 6;
    EXPECT_FALSE(ReadDecimal(decimal));
    EXPECT_EQ(decimal, 6);
    EXPECT_EQ(PressReturn(), 0);
    EXPECT_EQ(HandlerCalls, 4);
}

TEST(EndOfInputDeathTest, DefaultHandlerExitsWithTheEndOfInputCode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FILE* empty = std::tmpfile();
            SetConsoleStreams(empty, nullptr);
            SetEndOfInputHandler(nullptr);
            ReadNumber();
            std::exit(0);
        },
        ::testing::ExitedWithCode(EndOfInputExitCode), "");
}

TEST(DelayTest, ZeroReturnsAtOnce) {
    FakeClock clock;
    const uint64_t before = FakeClock::Now();
    DelayMs(0);
    EXPECT_LE(FakeClock::Now() - before, 2u);
}

TEST(DelayTest, WaitsAtLeastTheGivenMilliseconds) {
    FakeClock clock;
    uint64_t before = FakeClock::Now();
    DelayMs(200);
    const uint64_t spanned = FakeClock::Now() - before;
    EXPECT_GE(spanned, 200u);
    EXPECT_LE(spanned, 203u);

    before = FakeClock::Now();
    DelayMs(65535);
    EXPECT_GE(FakeClock::Now() - before, 65535u);

    before = FakeClock::Now();
    WaitMs(100000);
    EXPECT_GE(FakeClock::Now() - before, 100000u);
}

// A clock that moves 1 ms per reading, and a sleep that moves it on by half
// of what is asked for (a sleep may end early): every wait sleeps what is
// left until the clock says its time is up, and never spins.
uint64_t SleptClockMs = 0;
std::vector<uint64_t> SleepsAsked;
uint64_t SleptClock() {
    return SleptClockMs++;
}
void HalfSleep(uint64_t milliseconds) {
    SleepsAsked.push_back(milliseconds);
    SleptClockMs += milliseconds / 2;
}

TEST(DelayTest, SleepsWhatIsLeftUntilTheClockSaysItIsOver) {
    SetClockSource(&SleptClock);
    SetSleepSink(&HalfSleep);
    SleptClockMs = 0;
    SleepsAsked.clear();
    DelayMs(200);
    const std::vector<uint64_t> delay = SleepsAsked;
    const uint64_t delayEnded = SleptClockMs;
    SleptClockMs = 0;
    SleepsAsked.clear();
    WaitMs(10);
    SetSleepSink(nullptr);
    SetClockSource(nullptr);
    EXPECT_EQ(delay, std::vector<uint64_t>({200, 99, 49, 24, 11, 5, 2}));
    EXPECT_EQ(delayEnded, 201u);
    EXPECT_EQ(SleepsAsked, std::vector<uint64_t>({10, 4, 1}));
}

}  // namespace
