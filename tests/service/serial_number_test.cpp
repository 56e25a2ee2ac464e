// 'sn': the payload of a new serial number, the depth-sensor guard, the main
// board's identification string, and over-long answers.
#include "service_fixture.h"

namespace {

Bytes SerialField(const std::string& text) {
    Bytes field(text.begin(), text.end());
    field.resize(20, 0);
    return field;
}

Bytes WithHead(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

using SerialNumberTest = ServiceTest;

TEST_F(SerialNumberTest, SensorTwoGetsSixCharactersAndFourteenZeros) {
    ConsoleCapture console("2\nABC123\n");
    ScriptedPipe::QueueResponse(0, {4, 1});  // family of sensor 2: conductivity
    AnswerOk(1);
    SetSerialNumber();
    EXPECT_EQ(SentRequests(),
              (std::vector<SentRequest>{{1, 0x82, {0x02, 0x00}},
                                        {1, 0x8A, WithHead({0x02, 0x00}, SerialField("ABC123"))}}));
    EXPECT_EQ(console.Output(),
              "Sensor Set Serial Number\nSensor address? Serial Number: "
              "New serial number string is: ABC123\nPress return ");
}

TEST_F(SerialNumberTest, DepthSensorIsRefusedBeforeTheQuestion) {
    ConsoleCapture console("6\n\n");
    ScriptedPipe::QueueResponse(0, {8, 2});
    SetSerialNumber();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{1, 0x82, {0x06, 0x00}}}));
    EXPECT_EQ(console.Output(),
              "Sensor Set Serial Number\nSensor address? "
              "***\n\tNot allowed to change serial number of depth sensor.\n***\nPress return ");
}

TEST_F(SerialNumberTest, MainBoardAlsoRewritesTheSondeIdentification) {
    InMenu(MenuMainBoard, 1);
    // 19 characters: the board request before it leaves serial characters
    // where the name field's zero padding goes.
    const std::string serial = "SN-4200-7781-K9Q2XZ";
    ConsoleCapture console(serial + "\n");
    AnswerOk(2);
    SetSerialNumber();
    Bytes name = SerialField("Limnora Sonde");
    EXPECT_EQ(SentRequests(),
              (std::vector<SentRequest>{{1, 0x8A, WithHead({0x00, 0x00}, SerialField(serial))},
                                        {1, 0x0B, WithHead(name, SerialField(serial))}}));
    EXPECT_EQ(console.Output(),
              "Main board set serial number\nSerial Number: New serial number "
              "string is: " +
                  serial + "\nNew stuff: Limnora Sonde, " + serial + "\nPress return ");
}

TEST_F(SerialNumberTest, IdentificationIsWrittenEvenWhenTheBoardRefused) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("SN-42\n");
    ScriptedPipe::QueueResponse(9);
    ScriptedPipe::QueueResponse(0);
    SetSerialNumber();
    ASSERT_EQ(SentRequests().size(), 2u);
    EXPECT_EQ(SentRequests()[1].command, 0x0B);
    EXPECT_EQ(LastResult, 0);
}

TEST_F(SerialNumberTest, LongAnswerIsCutToNineteenAndItsRestDoesNotReachTheNextMenu) {
    InMenu(MenuHandheld, 3);
    ConsoleCapture console("ABCDEFGHIJKLMNOPQRSTUVWXYZ\nrm\n");
    AnswerOk(1);
    SetSerialNumber();
    EXPECT_EQ(SentRequests(),
              (std::vector<SentRequest>{
                  {3, 0x8A, WithHead({0x00, 0x00}, SerialField("ABCDEFGHIJKLMNOPQRS"))}}));
    EXPECT_EQ(console.Output(),
              "Vantor LX set serial number\nSerial Number: "
              "New serial number string is: ABCDEFGHIJKLMNOPQRS\nPress return ");
    EXPECT_EQ(NextToken(), "rm");
}

TEST_F(SerialNumberTest, ComModuleSendsToItsOwnAddress) {
    InMenu(MenuComModule, 2);
    ConsoleCapture console("CM7\n");
    AnswerOk(1);
    SetSerialNumber();
    EXPECT_EQ(SentRequests(),
              (std::vector<SentRequest>{{2, 0x8A, WithHead({0x00, 0x00}, SerialField("CM7"))}}));
    EXPECT_TRUE(console.Output().starts_with("Com Module set serial number\n")) << console.Output();
}

}  // namespace
