// Device listing, sonde identification and the look-up of the menus, end to
// end against the virtual instrument.
#include "shell_e2e.h"

namespace {

using namespace shell_e2e;

using Heads = std::vector<std::string>;

// Text from `from` up to (not including) the next `to` after it.
std::string Between(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) return "<" + from + " not found>";
    const std::size_t end = text.find(to, at + from.size());
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TEST(ShellListing, ListsEveryDeviceWithItsVersions) {
    const SessionResult r = RunShell("s\nll\nq\n");
    const std::string listing = Between(r.output, "\nSystem Device Report\n", "Press return ");
    const std::string firstTwo =
        "\nSystem Device Report\n"
        "\nMin Stabilization time: 60\n"
        "num devices: 7\n"
        "\nController\n"
        "Address:      00\n"
        "Mask:         01\n"
        " LX7 sonde \n"
        "Family:       202\n"
        "Model:        2\n"
        "UI version:   7\n"
        "Code version: 1.5\n\n"
        "Address:      01\n"
        "Mask:         02\n"
        " Conductivity \n"
        "Family:       4\n"
        "Model:        1\n"
        "UI version:   2\n"
        "Code version: 2.3\n\n";
    EXPECT_EQ(listing.substr(0, firstTwo.size()), firstTwo);
    EXPECT_EQ(CountOf(listing, "Address:      "), 7);
    EXPECT_EQ(listing.substr(listing.size() - 2), "\n\n");
    EXPECT_EQ(Requests(r), (Heads{"01 02", "01 09", "01 04", "01 02", "01 09", "01 04", "01 09",
                                  "01 02", "01 09", "01 04", "01 03"}));
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellListing, EighteenRecordsAreBogusEverywhere) {
    const SessionResult r =
        RunShell("s\nll\nq\n", R"({"faults": [{"command": 9, "counts": {"devices": 18}}]})");
    // The look-up reports the count and gives result 4; no stay-awake is sent.
    EXPECT_EQ(AfterStartUp(r.output).substr(0, TopMenu.size() + 100),
              (TopMenu + "\nlooking up sensors...bogus number of devices.\n" +
               "  4: Invalid data, command malformed or improper config.\n" + "Service choice: ")
                  .substr(0, TopMenu.size() + 100));
    // The listing stops at the count and goes straight back to the menu.
    EXPECT_NE(r.output.find("\nSystem Device Report\n\nMin Stabilization time: 60\n"
                            "num devices: 18\n\nController\nbogus number of devices.\n"
                            "\tSensor Boards"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, "Press return "), 0);
    EXPECT_EQ(Requests(r),
              (Heads{"01 02", "01 09", "01 02", "01 09", "01 09", "01 02", "01 09", "01 03"}));
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellListing, HighestVersionWordAndACountBeyondTheRecordsReceived) {
    // One record with version 0xFFFF; then a count of 17 over the default's
    // seven records: only the records that arrived are shown.
    const SessionResult one =
        RunShell("s\nll\nq\n",
                 R"({"faults": [{"command": 9, "payload": "00 00 01 00 05 00 CA 02 FF FF"}]})");
    EXPECT_NE(one.output.find("num devices: 1\n\nController\n"
                              "Address:      05\nMask:         00\n LX7 sonde \n"
                              "Family:       202\nModel:        2\n"
                              "UI version:   63\nCode version: 7.127\n\nPress return "),
              std::string::npos)
        << one.output;
    EXPECT_NE(one.output.find("Currently connected LX system\nDevice Address: 5,  LX7 sonde \n"),
              std::string::npos);

    const SessionResult many =
        RunShell("s\nll\nq\n", R"({"faults": [{"command": 9, "counts": {"devices": 17}}]})");
    const std::string listing = Between(many.output, "\nSystem Device Report\n", "Press return ");
    EXPECT_NE(listing.find("num devices: 17\n"), std::string::npos) << many.output;
    EXPECT_EQ(CountOf(listing, "Address:      "), 7);
    // Three look-ups: the top menu, and the sensor boards menu before and after.
    EXPECT_EQ(CountOf(many.output, "Device Address: 6,  Depth 25m \n"), 3);
    EXPECT_EQ(CountOf(many.output, "bogus number of devices"), 0);
    EXPECT_EQ(many.exitCode, 0);
}

TEST(ShellListing, SondeIdentification) {
    const SessionResult r = RunShell("m\nsi\nq\n");
    EXPECT_NE(r.output.find("Main Board cmd: \nSystem ID String Read\n"
                            "\nSystem Name  Limnora Sonde\n"
                            "System S/N  21C100457\n"
                            "Press return "),
              std::string::npos)
        << r.output;
    const auto sent = SentFrames(r);
    ASSERT_EQ(sent.size(), 9u);
    EXPECT_EQ(sent[5], Request(1, 0x0A));
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellListing, NameFillingItsFieldIsShownBoundedToIt) {
    // A 20-character name with no zero byte inside its field, then "123".
    const SessionResult r = RunShell("m\nsi\nq\n", R"({"faults": [{"command": 10, "payload":
            "4C 69 6D 6E 6F 72 61 20 53 6F 6E 64 65 20 58 58 58 58 58 58 31 32 33 00"}]})");
    EXPECT_NE(r.output.find("\nSystem Name  Limnora Sonde XXXXXX\nSystem S/N  123\nPress return "),
              std::string::npos)
        << r.output;
}

TEST(ShellListing, TextsWithoutZeroBytesStopAtTheBytesReceived) {
    const SessionResult whole = RunShell("m\nsi\nq\n", R"({"faults": [{"command": 10, "payload":
            "41 42 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 53 4E"}]})");
    EXPECT_NE(whole.output.find("\nSystem Name  AB\nSystem S/N  SN\nPress return "),
              std::string::npos)
        << whole.output;
    const SessionResult cut =
        RunShell("m\nsi\nq\n", R"({"faults": [{"command": 10, "payload": "41 42 43"}]})");
    EXPECT_NE(cut.output.find("\nSystem Name  ABC\nSystem S/N  \nPress return "), std::string::npos)
        << cut.output;
}

TEST(ShellListing, FailedIdentificationOnlyPauses) {
    const SessionResult r = RunShell("m\nsi\nq\n", R"({"faults": [{"command": 10, "status": 3}]})");
    EXPECT_NE(r.output.find("\nSystem ID String Read\nPress return "), std::string::npos)
        << r.output;
}

TEST(ShellListing, DeviceReportAnsweringBusTimeoutIsAskedAgain) {
    const SessionResult r =
        RunShell("q\n", R"({"faults": [{"command": 9, "occurrence": 1, "status": 18}]})");
    EXPECT_EQ(AfterStartUp(r.output),
              TopMenu + DefaultLookUp + StayAwakeNotice + "\n" + "Service choice: ");
    EXPECT_EQ(Requests(r), (Heads{"01 02", "01 09", "01 09", "01 04", "01 03"}));
}

TEST(ShellListing, SystemResetFailingTwiceDoesNotStopTheLookUp) {
    const SessionResult r = RunShell(
        "q\n", R"({"faults": [{"command": 2, "occurrence": 1, "times": 2, "status": 16}]})");
    EXPECT_EQ(AfterStartUp(r.output),
              TopMenu + DefaultLookUp + StayAwakeNotice + "\n" + "Service choice: ");
    EXPECT_EQ(Requests(r), (Heads{"01 02", "01 02", "01 09", "01 04", "01 03"}));
}

TEST(ShellListing, FailedStayAwakeIsAskedAgainButReported) {
    const SessionResult r =
        RunShell("q\n", R"({"faults": [{"command": 4, "occurrence": 1, "status": 16}]})");
    EXPECT_EQ(AfterStartUp(r.output),
              TopMenu + DefaultLookUp + StayAwakeNotice + "\n" +
                  "  16: Device Error, either device fault or command error.\n" +
                  "Service choice: ");
    EXPECT_EQ(SentFrames(r), (std::vector<std::string>{SystemReset, DeviceListing, StayAwake,
                                                       StayAwake, SleepToSonde}));
}

TEST(ShellListing, SilentSondeIsReportedAsNotDetected) {
    const SessionResult r = RunShell("q\n", R"({"faults": [{"address": 1, "timeout": true}]})");
    EXPECT_EQ(AfterStartUp(r.output),
              TopMenu + "\nlooking up sensors..." + "No sonde detected.\n" + "Service choice: ");
    EXPECT_EQ(Requests(r), (Heads{"01 02", "01 02", "01 09", "01 03"}));
    EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
