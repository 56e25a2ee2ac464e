// 'cl': the calibration-log clear of a sensor and the log-media format of the
// main board, each followed by its reset.
#include "service_fixture.h"

namespace {

using LogOpsTest = ServiceTest;

TEST_F(LogOpsTest, ClearingSensorThreeSendsTheClearThenAFactoryReset) {
    ConsoleCapture console("0\nthree\n3\n\n");
    AnswerOk(2);
    ClearLogOrFormat();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{1, 0x88, {0x03, 0x01, 0x00, 0x0F}},
                                                        {1, 0x81, {0x03, 0x01}}}));
    EXPECT_EQ(console.Output(),
              "Clear sensor calibration log.\n"
              "Sensor address: Invalid device address.\n"
              "Sensor address: Invalid device address.\n"
              "Sensor address: Formatting.\nPress return ");
}

TEST_F(LogOpsTest, ResetFollowsAFailedClearAndItsOwnFailureIsNotReported) {
    ConsoleCapture console("3\n\n");
    ScriptedPipe::QueueResponse(4);  // the clear is refused by the sensor
    ClearLogOrFormat();              // the reset times out
    EXPECT_EQ(SentRequests().size(), 2u);
    EXPECT_EQ(SentRequests()[1], (SentRequest{1, 0x81, {0x03, 0x01}}));
    EXPECT_EQ(LastResult, 255);
    EXPECT_EQ(console.Output(),
              "Clear sensor calibration log.\nSensor address: Formatting.\nPress return ");
}

TEST_F(LogOpsTest, FormattingTheLogMediaResetsWaitsAndListsTheDevices) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("\n");
    AnswerOk(2);
    ClearLogOrFormat();  // the listing that follows finds no answer
    const std::vector<SentRequest> sent = SentRequests();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[0], (SentRequest{1, 0x88, {0x00, 0x01, 0x61, 0x00}}));
    EXPECT_EQ(sent[1], (SentRequest{1, 0x81, {0x00, 0x00}}));
    // The listing starts with a System Reset of the bus.
    EXPECT_EQ(sent[2].command, 0x02);
    EXPECT_GE(FakeClock::Now(), 5000u);
    const std::string output = console.Output();
    EXPECT_TRUE(output.starts_with("Formatting.\nWaiting for sonde to reset.\n\n")) << output;
    EXPECT_NE(output.find("looking up sensors..."), std::string::npos);
    EXPECT_TRUE(output.ends_with("Press return ")) << output;
}

TEST_F(LogOpsTest, OtherMenusDoNothing) {
    InMenu(MenuHandheld, 3);
    ConsoleCapture console;
    ClearLogOrFormat();
    EXPECT_TRUE(ScriptedPipe::Sent().empty());
    EXPECT_EQ(console.Output(), "");
}

}  // namespace
