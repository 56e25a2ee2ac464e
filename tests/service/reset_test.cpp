// 'rs': the level question, the payloads, the refusals, and the close, wait
// and reopen after resetting a USB device; also the failure report that all
// settings commands share.
#include "service_fixture.h"

namespace {

constexpr char LevelQuestion[] =
    "0 = Soft reset, just restart the board.\n"
    "1 = Factory default, clears all calibrations and custom settings.\n\n"
    "enter 0 or 1: ";

using ResetTest = ServiceTest;

TEST_F(ResetTest, SoftResetOfSensorFourSendsItsAddressAndLevelZero) {
    ConsoleCapture console("4\n0\n");
    AnswerOk(1);
    ResetBoard();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{1, 0x81, {0x04, 0x00}}}));
    EXPECT_EQ(console.Output(),
              std::string("Sensor Reset\nSensor address? ") + LevelQuestion + "Press return ");
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 0);
    EXPECT_EQ(LastResult, 0);
}

TEST_F(ResetTest, SensorAddressZeroAndAWordAreAskedAgain) {
    ConsoleCapture console("0\nfour\n4\n1\n");
    AnswerOk(1);
    ResetBoard();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{1, 0x81, {0x04, 0x01}}}));
    EXPECT_EQ(console.Output(), std::string("Sensor Reset\n"
                                            "Sensor address? Invalid device address.\n"
                                            "Sensor address? Invalid device address.\n"
                                            "Sensor address? ") +
                                    LevelQuestion + "Press return ");
}

TEST_F(ResetTest, FactoryResetOfMainBoardLeavesThePipeOpen) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("1\n");
    AnswerOk(1);
    ResetBoard();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{1, 0x81, {0x00, 0x01}}}));
    EXPECT_EQ(console.Output(),
              std::string("Main board reset\n") + LevelQuestion + "Press return ");
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 0);
    EXPECT_EQ(ScriptedPipe::OpenCalls(), 0);
    EXPECT_TRUE(ScriptedPipe::IsOpen());
}

TEST_F(ResetTest, LevelsOtherThanZeroAndOneAreRefusedWithNothingSent) {
    for (const char* level : {"2\n", "-1\n", "256\n"}) {
        SCOPED_TRACE(level);
        InMenu(MenuMainBoard, 1);
        ConsoleCapture console(level);
        ResetBoard();
        EXPECT_TRUE(ScriptedPipe::Sent().empty());
        EXPECT_EQ(console.Output(), std::string("Main board reset\n") + LevelQuestion +
                                        "Reset level too dangerous, not allowed.\nPress return ");
    }
}

TEST_F(ResetTest, AWordForTheLevelIsRefusedAndDiscarded) {
    InMenu(MenuMainBoard, 1);
    // "one" must not reach the next menu, and must never count as a level.
    ConsoleCapture console("one\nrm\n");
    ResetBoard();
    EXPECT_TRUE(ScriptedPipe::Sent().empty());
    EXPECT_EQ(console.Output(), std::string("Main board reset\n") + LevelQuestion +
                                    "Reset level too dangerous, not allowed.\nPress return ");
    EXPECT_EQ(NextToken(), "rm");
}

TEST_F(ResetTest, ComModuleResetClosesWaitsFiveSecondsAndReopens) {
    InMenu(MenuComModule, 2);
    ConsoleCapture console("0\n");
    AnswerOk(1);
    ResetBoard();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{2, 0x81, {0x00, 0x00}}}));
    EXPECT_EQ(console.Output(), std::string("Com Module reset\n") + LevelQuestion +
                                    "Waiting on reset... Opening USB port.\nPress return ");
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 1);
    EXPECT_EQ(ScriptedPipe::OpenCalls(), 1);
    EXPECT_GE(FakeClock::Now(), 5000u);
    EXPECT_LT(FakeClock::Now(), 25000u);
    EXPECT_EQ(LastResult, 0);
}

TEST_F(ResetTest, HandheldResetWaitsTwentyFiveSecondsAndKeepsTheOpenResult) {
    InMenu(MenuHandheld, 3);
    ScriptedPipe::SetOpenResult(-3);
    ConsoleCapture console("1\n");
    // No answer: the handheld restarts before it replies. The reopen follows all the same.
    ResetBoard();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{3, 0x81, {0x00, 0x01}}}));
    EXPECT_EQ(console.Output(), std::string("Vantor LX reset\n") + LevelQuestion +
                                    "Waiting on reset... Opening USB port.\n"
                                    "Failed to init USB port!\nPress return ");
    EXPECT_GE(FakeClock::Now(), 25000u);
    EXPECT_EQ(ScriptedPipe::OpenCalls(), 1);
    EXPECT_EQ(LastResult, -3);
}

// The settings commands report a failed exchange only when both the device
// status and the receive result are nonzero.
TEST_F(ResetTest, FailureIsReportedOnlyWhenStatusAndLinkResultAreBothNonzero) {
    InMenu(MenuMainBoard, 1);
    {
        // A status with a whole frame: the receive itself succeeded.
        ConsoleCapture console("0\n");
        ScriptedPipe::QueueResponse(7);
        ResetBoard();
        EXPECT_EQ(console.Output(),
                  std::string("Main board reset\n") + LevelQuestion + "Press return ");
    }
    {
        // A time-out: no status.
        ConsoleCapture console("0\n");
        ResetBoard();
        EXPECT_EQ(LastResult, -1);
        EXPECT_EQ(console.Output(),
                  std::string("Main board reset\n") + LevelQuestion + "Press return ");
    }
    {
        // Two bytes with status 7 arrive, then the rest times out: both are reported.
        ConsoleCapture console("0\n");
        ScriptedPipe::QueueRead(0, {0x00, 0x07});
        ResetBoard();
        EXPECT_EQ(LastResult, -1);
        const std::string output = console.Output();
        const std::string expectedStart = std::string("Main board reset\n") + LevelQuestion +
                                          "TAVI Error:   7: Parameter not available";
        EXPECT_TRUE(output.starts_with(expectedStart)) << output;
        EXPECT_NE(output.find("Windows error: "), std::string::npos);
        EXPECT_TRUE(output.ends_with("Press return ")) << output;
    }
}

}  // namespace
