// The menus end to end: what each shows, the answers that move between
// them, the answers that select nothing, and quitting from each.
#include <algorithm>

#include "shell_e2e.h"

namespace {

using namespace shell_e2e;

using Heads = std::vector<std::string>;

TEST(ShellMenus, TopMenuListsTheInstrumentAndKeepsTheSondeAwake) {
    const SessionResult r = RunShell("q\n");
    EXPECT_EQ(AfterStartUp(r.output),
              TopMenu + DefaultLookUp + StayAwakeNotice + "\n" + "Service choice: ");
    EXPECT_EQ(SentFrames(r),
              (std::vector<std::string>{SystemReset, DeviceListing, StayAwake, SleepToSonde}));
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellMenus, SensorMenuLooksUpWithoutTheNoticeAndQuitsWithSleep) {
    const SessionResult r = RunShell("s\nq\n");
    const std::string shown = SensorMenu + DefaultLookUp + "\n" + "Device cmd: ";
    const std::string out = r.output;
    ASSERT_GE(out.size(), shown.size());
    EXPECT_EQ(out.substr(out.size() - shown.size()), shown);
    EXPECT_EQ(CountOf(out, "I just told the sonde"), 1);  // the top menu's only
    EXPECT_EQ(Requests(r), (Heads{"01 02", "01 09", "01 04", "01 02", "01 09", "01 04", "01 03"}));
    EXPECT_EQ(SentFrames(r).back(), SleepToSonde);
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellMenus, MainBoardMenuNamesTheSondeAndQuitsWithSleep) {
    const SessionResult r = RunShell("m\nq\n");
    const std::string shown = "\t\t\t LX7 sonde \n" + MainBoardMenu;
    const std::string out = r.output;
    ASSERT_GE(out.size(), shown.size());
    EXPECT_EQ(out.substr(out.size() - shown.size()), shown);
    const auto sent = SentFrames(r);
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[3], OwnBoardReport);
    EXPECT_EQ(sent[4], OwnBoardReport);
    EXPECT_EQ(sent[5], SleepToSonde);
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellMenus, HandheldMenuSpeaksToAddressThreeAndSleepsIt) {
    const SessionResult r = RunShell("h\nq\n", R"({"usb_device": "handheld"})");
    const std::string out = r.output;
    ASSERT_GE(out.size(), HandheldMenu.size());
    EXPECT_EQ(out.substr(out.size() - HandheldMenu.size()), HandheldMenu);
    EXPECT_NE(out.find("Service choice: \t\t\t"), std::string::npos);
    EXPECT_EQ(CountOf(out, "command error"), 0);
    const auto sent = SentFrames(r);
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[3], Request(3, 0x82, {0, 0}));
    EXPECT_EQ(sent[4], Request(3, 0x82, {0, 0}));
    EXPECT_EQ(sent[5], Request(3, 0x03));
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellMenus, ComModuleQuitSendsNothing) {
    const SessionResult r = RunShell("c\nq\n");
    const std::string shown = ComModuleMenu + "\n\n" + "Com Module cmd: ";
    const std::string out = r.output;
    ASSERT_GE(out.size(), shown.size());
    EXPECT_EQ(out.substr(out.size() - shown.size()), shown);
    // Name (two queries) and setup advisory (a third); no System Sleep.
    EXPECT_EQ(Requests(r), (Heads{"01 02", "01 09", "01 04", "02 82", "02 82", "02 82"}));
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellMenus, ComModuleFromModelTwoShowsTheSetupAdvisory) {
    const SessionResult r = RunShell(
        "c\nq\n", R"({"faults": [{"address": 2, "command": "0x82", "payload": "C8 02"}]})");
    const std::string shown = "\t\t\t USB/SDI-12 CM \n" + ComModuleMenu +
                              "Use Quellis to understand what the setup numbers mean, or to "
                              "change them.\n" +
                              "\n\n" + "Com Module cmd: ";
    const std::string out = r.output;
    ASSERT_GE(out.size(), shown.size());
    EXPECT_EQ(out.substr(out.size() - shown.size()), shown);
    EXPECT_EQ(r.exitCode, 0);

    // An answer holding only the family byte has no model: no name for
    // family 200 without one, and no advisory. The frame's CRC low byte,
    // where the model would be, is 0x74 (00 00 01 00 C8 74 6F).
    const SessionResult bare =
        RunShell("c\nq\n", R"({"faults": [{"address": 2, "command": "0x82", "payload": "C8"}]})");
    const std::string bareShown =
        "Service choice: \t\t\t\n" + ComModuleMenu + "\n\n" + "Com Module cmd: ";
    ASSERT_GE(bare.output.size(), bareShown.size());
    EXPECT_EQ(bare.output.substr(bare.output.size() - bareShown.size()), bareShown);
    EXPECT_EQ(CountOf(bare.output, "command error"), 0);
    EXPECT_EQ(std::count(bare.wire.begin(), bare.wire.end(), "< 00 00 01 00 C8 74 6F"), 3);
    EXPECT_EQ(bare.exitCode, 0);
}

TEST(ShellMenus, FailedNameQueriesPrintCommandErrorAndTheMenuStill) {
    const SessionResult r =
        RunShell("m\nq\n", R"({"faults": [{"address": 1, "command": "0x82", "status": 5}]})");
    const std::string out = r.output;
    EXPECT_NE(out.find("Service choice: \t\t\tcommand error\ncommand error\n"), std::string::npos)
        << out;
    ASSERT_GE(out.size(), MainBoardMenu.size());
    EXPECT_EQ(out.substr(out.size() - MainBoardMenu.size()), MainBoardMenu);
    EXPECT_EQ(SentFrames(r).back(), SleepToSonde);
}

TEST(ShellMenus, AnswersThatSelectNothingShowTheSameMenuAgain) {
    // Upper case, an over-long token, a command of another menu, and 'dl'
    // outside the sensor boards menu.
    const SessionResult r = RunShell("Q\nLL\nmm\nm\ndl\nll\nsi2\nQ\nrm\nq\n");
    EXPECT_EQ(CountOf(r.output, "Service choice: "), 5);
    EXPECT_EQ(CountOf(r.output, "Main Board cmd: "), 5);
    EXPECT_EQ(CountOf(r.output, "Press return "), 0);
    // Only the menus' own requests went out: look-ups, names and the sleep.
    for (const std::string& head : Requests(r)) {
        EXPECT_TRUE(head == "01 02" || head == "01 09" || head == "01 04" || head == "01 82" ||
                    head == "01 03")
            << head;
    }
    EXPECT_EQ(CountOf(r.output, "looking up sensors..."), 5);
    EXPECT_EQ(SentFrames(r).back(), SleepToSonde);
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellMenus, ReturnToTopFromTheComModuleGoesBackToTheSonde) {
    const SessionResult r = RunShell("c\nrm\nq\n");
    EXPECT_EQ(Requests(r), (Heads{"01 02", "01 09", "01 04", "02 82", "02 82", "02 82", "01 02",
                                  "01 09", "01 04", "01 03"}));
    EXPECT_EQ(CountOf(r.output, StayAwakeNotice), 2);
    EXPECT_EQ(r.exitCode, 0);
}

TEST(ShellMenus, ReturnToTopFromTheHandheldGoesBackToTheSonde) {
    const SessionResult r = RunShell("h\nrm\nq\n", R"({"usb_device": "handheld"})");
    EXPECT_EQ(Requests(r), (Heads{"01 02", "01 09", "01 04", "03 82", "03 82", "01 02", "01 09",
                                  "01 04", "01 03"}));
    EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
