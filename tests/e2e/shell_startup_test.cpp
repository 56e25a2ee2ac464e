// Start-up as the technician sees it: the time-zone lines, the drain of
// stale frames, a failed open, and the end of the console input.
#include "shell_e2e.h"

namespace {

using namespace shell_e2e;

// Everything from the first time-zone line to the UTC bias line.
std::string ZoneLines(const std::string& output) {
    const std::size_t from = output.find("tzInfo.Bias");
    const std::size_t to = output.find("UTCbias(minutes)= ");
    if (from == std::string::npos || to == std::string::npos) return "<no time-zone lines>";
    return output.substr(from, output.find('\n', to) + 1 - from);
}

TEST(ShellStartUp, DaylightTimeWestOfUtc) {
    // Daylight time in force all year, five hours west of UTC in standard time.
    const SessionResult r = RunShell("q\n", {}, "XST5XDT,J1/0,J365/24");
    EXPECT_EQ(r.output.rfind("DuctraVersion: ", 0), 0u) << r.output;
    EXPECT_EQ(ZoneLines(r.output),
              "tzInfo.Bias(minutes)= 300\n"
              "\n*** Time zone and UTC information: UTC zone bias is 5 hours (18000 seconds).\n"
              "*** In Daylight savings time.\n"
              "\n"
              "UTCbias(minutes)= 240\n");
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellStartUp, EastOfUtcWithoutDaylightRules) {
    const SessionResult r = RunShell("q\n", {}, "Asia/Kolkata");
    EXPECT_EQ(ZoneLines(r.output),
              "tzInfo.Bias(minutes)= -330\n"
              "\n*** Time zone and UTC information: UTC zone bias is -5 hours (-19800 seconds).\n"
              "*** In unknown time zone.\n"
              "\n"
              "UTCbias(minutes)= -330\n");
}

TEST(ShellStartUp, EmptyPipeIsDrainedByOneReceive) {
    const SessionResult r = RunShell("q\n");
    EXPECT_NE(r.output.find("\nGot 0 bytes in first read.\nTest TAVI channel\n"), std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, "Got "), 1);
}

TEST(ShellStartUp, StaleFrameIsReadAndTracedByTheDrain) {
    const SessionResult r = RunShell("q\n", R"({"waiting_at_open": "00 00 00 00 00 00"})");
    EXPECT_NE(r.output.find("Got 6 bytes in first read.\n\n"
                            "\nbytes read = 6 : CRC = 0x0000 \n"
                            "Got 0 bytes in first read.\n"
                            "Test TAVI channel\n"),
              std::string::npos)
        << r.output;
    ASSERT_FALSE(r.wire.empty());
    EXPECT_EQ(r.wire[0], "< 00 00 00 00 00 00");
    // The working link is quiet: the requests of the menu are not traced.
    EXPECT_EQ(CountOf(r.output, "bytes out = "), 0);
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellStartUp, FragmentInThePipeEndsTheDrainWithARecovery) {
    const SessionResult r = RunShell("q\n", R"({"waiting_at_open": ["00 00 00", "00"]})");
    const std::string after = r.output.substr(0, r.output.find("Test TAVI channel\n"));
    EXPECT_NE(after.find("Got 3 bytes in first read.\nGot 1 bytes in the second read.\n\n"),
              std::string::npos)
        << r.output;
    const std::string recovery =
        "\n*** bogus, ignore ***\n"
        "Closing the USB port, it might not be working.\n"
        "Waiting on reset... Opening USB port.\n";
    ASSERT_GE(after.size(), recovery.size());
    EXPECT_EQ(after.substr(after.size() - recovery.size()), recovery);
    // The reopened pipe serves the menus.
    EXPECT_EQ(Requests(r), (std::vector<std::string>{"01 02", "01 09", "01 04", "01 03"}));
}

TEST(ShellStartUp, FailedOpenStillReachesTheTopMenu) {
    const SessionResult r = RunShell("q\n", R"({"open_result": -3})");
    EXPECT_NE(r.output.find("UTCbias(minutes)= 0\n"), std::string::npos);
    EXPECT_NE(r.output.find("Failed to init USB port!\nTest TAVI channel\n"), std::string::npos)
        << r.output;
    const std::string stars = "************************************************\n";
    EXPECT_EQ(AfterStartUp(r.output), TopMenu + "\nlooking up sensors..." +
                                          "  251: Close Quellis and this program and try again.\n" +
                                          stars + stars + stars + "Service choice: ");
    EXPECT_TRUE(SentFrames(r).empty());
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellStartUp, EndOfInputEndsTheProgramWithoutAnotherRequest) {
    const SessionResult top = RunShell("");
    EXPECT_EQ(top.exitCode, 3);
    EXPECT_EQ(Requests(top), (std::vector<std::string>{"01 02", "01 09", "01 04"}));

    const SessionResult main = RunShell("m\n");
    EXPECT_EQ(main.exitCode, 3);
    const std::string out = main.output;
    ASSERT_GE(out.size(), MainBoardMenu.size());
    EXPECT_EQ(out.substr(out.size() - MainBoardMenu.size()), MainBoardMenu);
    EXPECT_EQ(Requests(main),
              (std::vector<std::string>{"01 02", "01 09", "01 04", "01 82", "01 82"}));
}

}  // namespace
