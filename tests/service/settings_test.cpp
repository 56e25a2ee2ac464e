// 'sf' and 'sb': the fluorometer guard and type question, the battery
// limits by sonde model, and answers that are not numbers.
#include "service_fixture.h"

namespace {

constexpr char TypeMenu[] =
    "Choose sensor type.\n"
    " 1 = Chlorophyll A\n"
    " 2 = Rhodamine\n"
    " 3 = Blue Green Algae Fresh\n"
    " 4 = Blue Green Algae Marine\n";

using SettingsTest = ServiceTest;

TEST_F(SettingsTest, RhodamineAtSensorFiveSendsTheTypeThenAFactoryReset) {
    // 0 and 5 are out of range, the word is discarded, 2 is taken.
    ConsoleCapture console("5\n0\n5\nrhodamine\n2\n\n");
    ScriptedPipe::QueueResponse(0, {11, 2});  // family of sensor 5: a fluorometer
    AnswerOk(2);
    WriteSetting();
    EXPECT_EQ(SentRequests(),
              (std::vector<SentRequest>{{1, 0x82, {0x05, 0x00}},
                                        {1, 0x89, {0x05, 0x01, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00}},
                                        {1, 0x81, {0x05, 0x01}}}));
    EXPECT_EQ(console.Output(), std::string("Set Fluorometer type\nSensor address? ") + TypeMenu +
                                    "Fluorometer? Fluorometer? Fluorometer? Fluorometer? "
                                    "Press return ");
}

TEST_F(SettingsTest, TypeIsTakenFromTheLowSixteenBitsOfTheAnswer) {
    ConsoleCapture console("5\n65539\n\n");  // 0x10003
    ScriptedPipe::QueueResponse(0, {11, 1});
    AnswerOk(2);
    WriteSetting();
    ASSERT_EQ(SentRequests().size(), 3u);
    EXPECT_EQ(SentRequests()[1].payload, (Bytes{0x05, 0x01, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00}));
}

TEST_F(SettingsTest, SensorThatIsNotAFluorometerIsRefused) {
    ConsoleCapture console("4\n\n");
    ScriptedPipe::QueueResponse(0, {4, 1});  // conductivity
    WriteSetting();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{1, 0x82, {0x04, 0x00}}}));
    EXPECT_EQ(console.Output(),
              "Set Fluorometer type\nSensor address? This is not a fluorometer.\nPress return ");
}

TEST_F(SettingsTest, FailedFamilyQueryIsRefusedToo) {
    ConsoleCapture console("4\n\n");
    WriteSetting();  // the query times out
    EXPECT_EQ(SentRequests().size(), 1u);
    EXPECT_EQ(console.Output(),
              "Set Fluorometer type\nSensor address? command error\n"
              "This is not a fluorometer.\nPress return ");
}

TEST_F(SettingsTest, IbpLimitsForAnLx4Sonde) {
    InMenu(MenuMainBoard, 1);
    // 3 is out of range and the word is discarded: the question comes back each time.
    ConsoleCapture console("3\nibp\n2\n\n");
    AnswerOk(1);
    WriteSetting();
    EXPECT_EQ(
        SentRequests(),
        (std::vector<SentRequest>{
            {1, 0x89, {0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x66, 0x66, 0xC6, 0x3F}}}));
    EXPECT_EQ(console.Output(),
              "Set up battery range limits.\n"
              "1 = NOBATT, 2 = IBP 1 = NOBATT, 2 = IBP 1 = NOBATT, 2 = IBP \nIBP\nPress return ");
}

TEST_F(SettingsTest, NoBatteryLimitsAreZero) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("1\n\n");
    AnswerOk(1);
    WriteSetting();
    EXPECT_EQ(
        SentRequests(),
        (std::vector<SentRequest>{{1, 0x89, {0x00, 0x01, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}}}));
    EXPECT_EQ(console.Output(),
              "Set up battery range limits.\n1 = NOBATT, 2 = IBP \nNOBATT\nPress return ");
}

TEST_F(SettingsTest, Lx7SondeGetsFixedLimitsWithoutAQuestion) {
    InMenu(MenuMainBoard, 1);
    {
        ConsoleCapture naming;
        PrintDeviceName(FamilySonde, 2);  // the menu header names an LX7 sonde
    }
    ASSERT_EQ(SondeModel, 7);
    ConsoleCapture console("\n");
    AnswerOk(1);
    WriteSetting();
    EXPECT_EQ(
        SentRequests(),
        (std::vector<SentRequest>{
            {1, 0x89, {0x00, 0x01, 0x03, 0x00, 0xCD, 0xCC, 0x4C, 0x40, 0x00, 0x00, 0xC0, 0x40}}}));
    EXPECT_EQ(console.Output(), "Set up battery range limits.\nPress return ");
}

}  // namespace
