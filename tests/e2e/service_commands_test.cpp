// End-to-end sessions of the board commands against quillon-sim: what the
// technician types, what the console shows, and the frames on the wire.
#include <algorithm>
#include <ctime>

#include "shell_e2e.h"

namespace {

using shell_e2e::Request;
using shell_e2e::RunShell;
using Bytes = std::vector<uint8_t>;

// Device time of 2000-01-01 00:00:00 UTC on the C library's clock.
constexpr std::time_t DeviceEpoch = 946684800;

// Checks that `expected` frames appear among the sent frames in this order
// (other frames, such as the menus' look-ups, may come between).
void ExpectInOrder(const std::vector<std::string>& sent, const std::vector<std::string>& expected) {
    std::size_t at = 0;
    for (const std::string& frame : expected) {
        while (at < sent.size() && sent[at] != frame) ++at;
        ASSERT_LT(at, sent.size()) << "not sent in order: " << frame;
        ++at;
    }
}

int Count(const std::vector<std::string>& frames, const std::string& prefix) {
    int count = 0;
    for (const std::string& frame : frames) count += frame.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

// The first sent frame that starts with `prefix`, as bytes.
Bytes FrameStarting(const std::vector<std::string>& sent, const std::string& prefix) {
    for (const std::string& frame : sent) {
        if (frame.rfind(prefix, 0) != 0) continue;
        Bytes bytes;
        for (std::size_t i = 0; i + 1 < frame.size(); i += 3) {
            bytes.push_back(static_cast<uint8_t>(std::stoi(frame.substr(i, 2), nullptr, 16)));
        }
        return bytes;
    }
    return {};
}

Bytes SerialPayload(Bytes head, const std::string& text) {
    Bytes field(text.begin(), text.end());
    field.resize(20, 0);
    head.insert(head.end(), field.begin(), field.end());
    return head;
}

TEST(ServiceCommands, SensorBoardCommandsSendTheirPayloadsAndKeepTheirState) {
    const SessionResult result = RunShell(
        "s\n"
        "rs\n4\n0\n"       // soft reset of sensor 4
        "rs\n4\n2\n"       // level 2: refused, nothing sent
        "cl\n0\n3\n"       // clear the calibration log of sensor 3
        "sf\n4\n"          // turbidity: not a fluorometer
        "sf\n5\nsix\n2\n"  // fluorometer at 5: a word, then Rhodamine
        "sn\n6\n"          // depth sensor: refused
        "sn\n2\nABC123\n"  // new serial number for sensor 2
        "cn\n2\n"          // read it back
        "md\n3\n30\n"      // maintenance in 30 days
        "q\n");
    EXPECT_EQ(result.exitCode, 0);
    const std::vector<std::string> sent = SentFrames(result);
    ExpectInOrder(sent, {
                            Request(1, 0x81, {4, 0}),
                            Request(1, 0x88, {3, 1, 0x00, 0x0F}),
                            Request(1, 0x81, {3, 1}),
                            Request(1, 0x82, {4, 0}),
                            Request(1, 0x82, {5, 0}),
                            Request(1, 0x89, {5, 1, 2, 0, 2, 0, 0, 0}),
                            Request(1, 0x81, {5, 1}),
                            Request(1, 0x82, {6, 0}),
                            Request(1, 0x82, {2, 0}),
                            Request(1, 0x8A, SerialPayload({2, 0}, "ABC123")),
                            Request(1, 0x82, {2, 0}),
                        });
    // Only the three resets above: the refused level and the refused sensors sent none.
    EXPECT_EQ(Count(sent, "01 81"), 3);
    EXPECT_EQ(Count(sent, "01 89"), 1);
    EXPECT_EQ(Count(sent, "01 8A"), 1);

    const Bytes maintenance = FrameStarting(sent, "01 8C 0A 00 03 00");
    ASSERT_EQ(maintenance.size(), 16u);
    EXPECT_EQ(ReadLe32(&maintenance[10]), 2592000u);

    const std::string& out = result.output;
    EXPECT_EQ(CountOf(out, "Reset level too dangerous, not allowed.\n"), 1);
    EXPECT_NE(out.find("Clear sensor calibration log.\nSensor address: Invalid device address.\n"
                       "Sensor address: Formatting.\nPress return "),
              std::string::npos);
    EXPECT_NE(out.find("Set Fluorometer type\nSensor address? This is not a fluorometer.\n"),
              std::string::npos);
    EXPECT_NE(out.find("Fluorometer? Fluorometer? Press return "), std::string::npos);
    EXPECT_NE(out.find("***\n\tNot allowed to change serial number of depth sensor.\n***\n"),
              std::string::npos);
    EXPECT_NE(out.find("New serial number string is: ABC123\n"), std::string::npos);
    EXPECT_NE(out.find("Device Report\n pH/ORP \n"), std::string::npos);
    EXPECT_NE(out.find("S/N          \"ABC123\"\n"), std::string::npos);
    EXPECT_NE(out.find("Maintenance interval (in days)?  Right now is : "), std::string::npos);
    EXPECT_NE(out.find("Maintenance interval= 30.00 days \nPress return "), std::string::npos);
}

// Time zone 3 hours east of UTC without daylight time: the device time of
// now is UTC, and the report shows it as local time again.
TEST(ServiceCommands, MainBoardCommandsAndTheDatesRoundTrip) {
    const std::time_t before = std::time(nullptr);
    const SessionResult result = RunShell(
        "m\n"
        "sb\n"             // LX7 sonde: fixed limits, no question
        "sn\nSN-MAIN-7\n"  // serial number and the sonde's identification
        "si\n"
        "bd\n"
        "md\n"  // maintenance defaults: interval 0
        "cn\n"
        "rs\n1\n"  // factory reset of the main board
        "q\n",
        {}, "XST-3");
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(result.exitCode, 0);
    const std::vector<std::string> sent = SentFrames(result);
    ExpectInOrder(
        sent, {
                  Request(1, 0x89, {0, 1, 3, 0, 0xCD, 0xCC, 0x4C, 0x40, 0x00, 0x00, 0xC0, 0x40}),
                  Request(1, 0x8A, SerialPayload({0, 0}, "SN-MAIN-7")),
                  Request(1, 0x0B, SerialPayload(SerialPayload({}, "Limnora Sonde"), "SN-MAIN-7")),
                  Request(1, 0x0A),
                  Request(1, 0x82, {0, 0}),
                  Request(1, 0x81, {0, 1}),
              });
    const std::string& out = result.output;
    EXPECT_EQ(CountOf(out, "1 = NOBATT, 2 = IBP "), 0);
    EXPECT_NE(out.find("New stuff: Limnora Sonde, SN-MAIN-7\n"), std::string::npos);
    EXPECT_NE(out.find("SN-MAIN-7"), out.rfind("SN-MAIN-7")) << "'si' shows it again";

    const Bytes build = FrameStarting(sent, "01 8B 06 00 00 00");
    ASSERT_EQ(build.size(), 12u);
    const uint32_t buildTime = ReadLe32(&build[6]);
    EXPECT_GE(buildTime, static_cast<uint32_t>(before - DeviceEpoch));
    EXPECT_LE(buildTime, static_cast<uint32_t>(after - DeviceEpoch));

    const Bytes maintenance = FrameStarting(sent, "01 8C 0A 00 00 00");
    ASSERT_EQ(maintenance.size(), 16u);
    EXPECT_EQ(ReadLe32(&maintenance[10]), 0u);
    EXPECT_NE(out.find("Main board set set maintenance defaults\nSet to today's date.\n"),
              std::string::npos);
    EXPECT_NE(out.find("Maintenance interval= 0 seconds \nPress return "), std::string::npos);

    // The report shows the build date as received and as local time (UTC + 3 h).
    const std::time_t local = static_cast<std::time_t>(buildTime) + DeviceEpoch + 3 * 3600;
    char text[32];
    std::strftime(text, sizeof text, "%m/%d/ %Y %H:%M:%S", std::gmtime(&local));
    EXPECT_NE(out.find("Dev DOB      " + std::to_string(buildTime) + " : " + text + "\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("S/N          \"SN-MAIN-7\"\n"), std::string::npos);
}

TEST(ServiceCommands, FormattingTheLogMediaResetsTheSondeAndListsItAgain) {
    const SessionResult result = RunShell("m\ncl\nq\n");
    EXPECT_EQ(result.exitCode, 0);
    const std::vector<std::string> sent = SentFrames(result);
    ExpectInOrder(sent, {Request(1, 0x88, {0, 1, 0x61, 0x00}), Request(1, 0x81, {0, 0}),
                         shell_e2e::SystemReset, shell_e2e::DeviceListing});
    EXPECT_NE(
        result.output.find("Formatting.\nWaiting for sonde to reset.\n" + shell_e2e::DefaultLookUp),
        std::string::npos)
        << result.output;
}

TEST(ServiceCommands, ReportsOfMisshapenRecords) {
    // Sensor 1 announces five setups; sensor 3 sends a header promising one
    // component and nothing more; sensor 4 announces three components.
    const std::string scenario = R"({ "faults": [
        { "command": "0x82", "board": 1, "counts": { "setups": 5 } },
        { "command": "0x82", "board": 3, "payload":
          "05 02 91 0C 32 32 4B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 28 00 01 01" },
        { "command": "0x82", "board": 4, "counts": { "components": 3 } } ] })";
    const SessionResult result = RunShell("s\ncn\n1\ncn\n3\ncn\n4\nq\n", scenario);
    EXPECT_EQ(result.exitCode, 0);
    const std::string& out = result.output;
    EXPECT_NE(out.find("Bugus number of setups.\n\nNum setups 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("S/N          \"22K\"\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Num Comp     0x01\nDevEn Mask   0x01\n\n\tComponent num: 1\n"
                       "\nReport ends early: 4 bytes missing.\nPress return "),
              std::string::npos)
        << out;
    // The aborted report goes straight back to the menu.
    EXPECT_NE(out.find("Bogus number of components: 3 - abort.\n\tSensor Boards:"),
              std::string::npos)
        << out;
}

TEST(ServiceCommands, HandheldCommandsGoToAddressThree) {
    const SessionResult result =
        RunShell("h\ncn\nsn\nHH-0042\nbd\ncn\nq\n", R"({ "usb_device": "handheld" })");
    EXPECT_EQ(result.exitCode, 0);
    const std::vector<std::string> sent = SentFrames(result);
    ExpectInOrder(sent,
                  {Request(3, 0x82, {0, 0}), Request(3, 0x8A, SerialPayload({0, 0}, "HH-0042")),
                   Request(3, 0x82, {0, 0})});
    EXPECT_EQ(FrameStarting(sent, "03 8B 06 00 00 00").size(), 12u);
    // Once in the handheld menu, nothing goes to the sonde.
    const auto first = std::find_if(sent.begin(), sent.end(),
                                    [](const std::string& f) { return f.rfind("03 ", 0) == 0; });
    EXPECT_EQ(std::count_if(first, sent.end(),
                            [](const std::string& f) { return f.rfind("01 ", 0) == 0; }),
              0);
    const std::string& out = result.output;
    EXPECT_NE(out.find("Vantor LX report\nDevice Report\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Vantor LX set serial number\nSerial Number: "
                       "New serial number string is: HH-0042\nPress return "),
              std::string::npos);
    EXPECT_EQ(CountOf(out, "New stuff: "), 0);
    EXPECT_NE(out.find("Vantor LX set build date\nSet to today's date.\n Right now is : "),
              std::string::npos);
    EXPECT_NE(out.find("S/N          \"HH-0042\"\n"), std::string::npos);
}

// The one slow session: the communications module restarts for 5 seconds.
TEST(ServiceCommands, ComModuleCommandsAndItsResetReopeningThePipe) {
    const SessionResult result = RunShell("c\ncn\nsn\nCM-77\nbd\nrs\n0\nq\n");
    EXPECT_EQ(result.exitCode, 0);
    const std::vector<std::string> sent = SentFrames(result);
    ExpectInOrder(sent, {Request(2, 0x8A, SerialPayload({0, 0}, "CM-77")), Request(2, 0x81, {0, 0}),
                         Request(2, 0x82, {0, 0})});
    EXPECT_EQ(FrameStarting(sent, "02 8B 06 00 00 00").size(), 12u);
    const std::string& out = result.output;
    EXPECT_NE(out.find("Com Module report\nDevice Report\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Com Module set serial number\n"), std::string::npos);
    EXPECT_NE(out.find("Com Module set build date\n"), std::string::npos);
    EXPECT_NE(out.find("Com Module reset\n0 = Soft reset, just restart the board.\n"),
              std::string::npos);
    EXPECT_NE(out.find("enter 0 or 1: Waiting on reset... Opening USB port.\nPress return "),
              std::string::npos)
        << out;
}

}  // namespace
