// 'cn': the configuration record decoded field by field, the count refusals,
// and records that end before their counts say.
#include <cstring>

#include "service_fixture.h"

namespace {

// Builds a configuration record as a device sends it.
struct Record {
    Bytes bytes;
    Record& U8(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Record& U16(uint16_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
        return *this;
    }
    Record& U32(uint32_t v) {
        AppendLe32(bytes, v);
        return *this;
    }
    Record& Text(const char* text, std::size_t field) {
        for (std::size_t i = 0; i < field; ++i) {
            bytes.push_back(i < std::strlen(text) ? static_cast<uint8_t>(text[i]) : 0);
        }
        return *this;
    }
};

constexpr uint32_t Dob = 710632543;  // 07/08/ 2022 21:55:43
constexpr uint32_t Dom = 31622400;   // 01/01/ 2001 00:00:00
constexpr uint32_t OneDotZero = 0x3F800000;

// The 40-byte header: a conductivity sensor, UI 3, code 2.5.
Record Header(uint8_t components, const char* serial = "CN-1234") {
    Record r;
    r.U8(4).U8(1).U16((3 << 10) | (2 << 7) | 5).Text(serial, 20);
    r.U32(Dob).U32(Dom).U32(2592000).U16(150).U8(components).U8(0x1F);
    return r;
}

const std::string HeaderText =
    "Device Report\n"
    " Conductivity \n"
    "Dev Family    4\n"
    "Dev Model     1\n"
    "UI version:   3\n"
    "Code version: 2.5\n"
    "S/N          \"CN-1234\"\n"
    "Dev DOB      710632543 : 07/08/ 2022 21:55:43\n"
    "Dev DOM      31622400 : 01/01/ 2001 00:00:00\n"
    "Maint Intl   30.00 days \n"
    "Stable in    2.00 minutes \n";

std::string CountsText(int components) {
    char text[64];
    std::snprintf(text, sizeof text, "Num Comp     0x%.2X\nDevEn Mask   0x1F\n", components);
    return text;
}

// Component start: last calibration date and interval.
Record& ComponentHead(Record& r, uint32_t calDate = Dob, uint32_t calInterval = 3600) {
    return r.U32(calDate).U32(calInterval);
}

using ReportTest = ServiceTest;

TEST_F(ReportTest, NoComponentsPrintsTheWholeHeaderThenPauses) {
    ConsoleCapture console("2\n\n");
    ScriptedPipe::QueueResponse(0, Header(0).bytes);
    ShowConfiguration();
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{1, 0x82, {0x02, 0x00}}}));
    EXPECT_EQ(console.Output(),
              "Sensor Report\nSensor address? " + HeaderText + CountsText(0) + "Press return ");
}

TEST_F(ReportTest, ThreeComponentsAbortWithoutThePause) {
    InMenu(MenuMainBoard, 1);
    // No key is scripted: a pause would end the input and throw.
    ConsoleCapture console;
    ScriptedPipe::QueueResponse(0, Header(3).bytes);
    EXPECT_NO_THROW(ShowConfiguration());
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{1, 0x82, {0x00, 0x00}}}));
    EXPECT_EQ(console.Output(), "Main board report\n" + HeaderText + CountsText(3) +
                                    "Bogus number of components: 3 - abort.\n");
}

TEST_F(ReportTest, WholeComponentWithSetupAndCalibration) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("\n");
    Record r = Header(1);
    ComponentHead(r);
    r.U16(1);                                  // one setup
    r.U16(2).U32(OneDotZero).U32(0xC0490FDB);  // two inputs: 1.0 and -pi
    r.U8(1).U8(1);                             // one calibration, last done 1
    r.U16(2).U32(0x3FC00000).U32(0x00000000);  // two steps: 1.5 and 0
    ScriptedPipe::QueueResponse(0, r.bytes);
    ShowConfiguration();
    EXPECT_EQ(console.Output(),
              "Main board report\n" + HeaderText + CountsText(1) +
                  "\n\tComponent num: 1\n"
                  "Last cal date: 710632543 : 07/08/ 2022 21:55:43\n"
                  "Last cal interval 1.00 hours \n"
                  "\nNum setups 1\n"
                  "\nSetup 1 with 2 inputs.\n"
                  "(u16)      0\t(u32) 1065353216\t(float) 1.000000e+00\t(hex) 0x3F800000\n"
                  "(u16)   4059\t(u32) 3226013659\t(float) -3.141593e+00\t(hex) 0xC0490FDB\n"
                  "\nNum Calibrations 1\n"
                  "\nLast Calibration number done 1\n"
                  "\nCalibration 1 with 2 steps.\n"
                  "\tinput 1.500000\n"
                  "\tinput 0.000000\n"
                  "Press return ");
}

TEST_F(ReportTest, RefusedSetupCountReadsOnFromWhereTheFirstSetupBegan) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("\n");
    Record r = Header(1);
    ComponentHead(r);
    // Five setups announced; the bytes after the count are taken as the
    // calibration count (1), the last done (2) and one calibration of one step.
    r.U16(5).U8(1).U8(2).U16(1).U32(OneDotZero);
    ScriptedPipe::QueueResponse(0, r.bytes);
    ShowConfiguration();
    const std::string output = console.Output();
    const std::string tail =
        "Last cal interval 1.00 hours \n"
        "Bugus number of setups.\n"
        "\nNum setups 0\n"
        "\nNum Calibrations 1\n"
        "\nLast Calibration number done 2\n"
        "\nCalibration 1 with 1 steps.\n"
        "\tinput 1.000000\n"
        "Press return ";
    EXPECT_TRUE(output.ends_with(tail)) << output;
}

TEST_F(ReportTest, OverLimitCalibrationAndStepCountsAreRefusedInLine) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("\n");
    Record r = Header(2);
    ComponentHead(r).U16(0).U8(5).U8(9);  // 5 calibrations, last done 9: both refused
    ComponentHead(r).U16(0).U8(1).U8(0).U16(5).U16(0x0102);  // 5 steps refused
    ScriptedPipe::QueueResponse(0, r.bytes);
    ShowConfiguration();
    const std::string output = console.Output();
    EXPECT_NE(output.find("\nNum setups 0\nBugus number.\n\nNum Calibrations 0\n"
                          "Bugus number.\n\nLast Calibration number done 0\n"
                          "\n\tComponent num: 2\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("\nLast Calibration number done 0\n"
                          "\nCalibration 1 with bogus number of steps.\nPress return "),
              std::string::npos)
        << output;
}

// Eleven inputs: over the sonde's limit, but the handheld's setups may hold more.
Record ElevenInputs() {
    Record r = Header(1);
    ComponentHead(r).U16(1).U16(11);
    for (uint32_t i = 0; i < 11; ++i) r.U32(OneDotZero + i);
    return r.U8(0).U8(0);
}

TEST_F(ReportTest, ElevenInputsAreRefusedFromTheSonde) {
    ConsoleCapture console("2\n\n");
    ScriptedPipe::QueueResponse(0, ElevenInputs().bytes);
    ShowConfiguration();
    const std::string output = console.Output();
    // The first input word is taken as the calibration counts: 00 00.
    EXPECT_NE(output.find("\nSetup 1 Bogus number of inputs.\n\nNum Calibrations 0\n"
                          "\nLast Calibration number done 0\nPress return "),
              std::string::npos)
        << output;
    EXPECT_EQ(Occurrences(output, "(u16)"), 0);
}

TEST_F(ReportTest, ElevenInputsAreDecodedFromTheHandheld) {
    InMenu(MenuHandheld, 3);
    ConsoleCapture console("\n");
    ScriptedPipe::QueueResponse(0, ElevenInputs().bytes);
    ShowConfiguration();
    const std::string output = console.Output();
    EXPECT_TRUE(output.starts_with("Vantor LX report\n")) << output;
    EXPECT_NE(
        output.find("\nSetup 1 with 11 inputs.\n"
                    "(u16)      0\t(u32) 1065353216\t(float) 1.000000e+00\t(hex) 0x3F800000\n"),
        std::string::npos)
        << output;
    EXPECT_NE(output.find("(u16)     10\t(u32) 1065353226\t(float) 1.000001e+00\t(hex) 0x3F80000A\n"
                          "\nNum Calibrations 0\n\nLast Calibration number done 0\nPress return "),
              std::string::npos)
        << output;
    EXPECT_EQ(SentRequests(), (std::vector<SentRequest>{{3, 0x82, {0x00, 0x00}}}));
}

TEST_F(ReportTest, DobIsShownAsReceivedAndLastCalDateLessTheOffset) {
    InMenu(MenuComModule, 2);
    UtcOffset = 21600;
    ConsoleCapture console("\n");
    Record r = Header(1);
    ComponentHead(r).U16(0).U8(0).U8(0);
    ScriptedPipe::QueueResponse(0, r.bytes);
    ShowConfiguration();
    const std::string output = console.Output();
    EXPECT_NE(output.find("Dev DOB      710632543 : 07/08/ 2022 15:55:43\n"), std::string::npos)
        << output;
    EXPECT_NE(output.find("Dev DOM      31622400 : 12/31/ 2000 18:00:00\n"), std::string::npos);
    EXPECT_NE(output.find("Last cal date: 710610943 : 07/08/ 2022 15:55:43\n"), std::string::npos);
}

TEST_F(ReportTest, SerialNumberFillingItsFieldIsPrintedBoundedToTwentyBytes) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("\n");
    ScriptedPipe::QueueResponse(0, Header(0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ").bytes);
    ShowConfiguration();
    const std::string output = console.Output();
    EXPECT_NE(output.find("S/N          \"ABCDEFGHIJKLMNOPQRST\"\nDev DOB      710632543"),
              std::string::npos)
        << output;
}

TEST_F(ReportTest, RecordEndingInsideTheHeaderStopsAtTheMissingField) {
    InMenu(MenuMainBoard, 1);
    ConsoleCapture console("\n");
    Bytes bytes = Header(0).bytes;
    bytes.resize(10);  // family, model, version and 6 of the 20 serial bytes
    ScriptedPipe::QueueResponse(0, bytes);
    ShowConfiguration();
    EXPECT_EQ(console.Output(),
              "Main board report\nDevice Report\n Conductivity \nDev Family    4\n"
              "Dev Model     1\nUI version:   3\nCode version: 2.5\n"
              "\nReport ends early: 14 bytes missing.\nPress return ");
}

TEST_F(ReportTest, RecordEndingInsideTheInputsStopsThere) {
    InMenu(MenuHandheld, 3);
    ConsoleCapture console("\n");
    Record r = Header(1);
    // 600 inputs announced, two and a half delivered: the rest of the
    // buffer must not be decoded as words.
    ComponentHead(r).U16(1).U16(600).U32(OneDotZero).U32(OneDotZero).U16(0x1234);
    ScriptedPipe::QueueResponse(0, r.bytes);
    ShowConfiguration();
    const std::string output = console.Output();
    EXPECT_EQ(Occurrences(output, "(u16)"), 2);
    const std::string tail =
        "\nSetup 1 with 600 inputs.\n"
        "(u16)      0\t(u32) 1065353216\t(float) 1.000000e+00\t(hex) 0x3F800000\n"
        "(u16)      0\t(u32) 1065353216\t(float) 1.000000e+00\t(hex) 0x3F800000\n"
        "\nReport ends early: 2 bytes missing.\nPress return ";
    EXPECT_TRUE(output.ends_with(tail)) << output;
}

TEST_F(ReportTest, FailedExchangeEndsSilentlyWithThePause) {
    InMenu(MenuMainBoard, 1);
    {
        ConsoleCapture console("\n");
        ScriptedPipe::QueueResponse(5, Header(0).bytes);
        ShowConfiguration();
        EXPECT_EQ(console.Output(), "Main board report\nPress return ");
    }
    {
        ConsoleCapture console("\n");
        ShowConfiguration();  // time-out
        EXPECT_EQ(console.Output(), "Main board report\nPress return ");
        EXPECT_EQ(LastResult, -1);
    }
}

}  // namespace
