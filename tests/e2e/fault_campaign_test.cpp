// Fault campaign against the virtual instrument: every kind of fault the
// instrument can inject, what the technician then sees, which frames went
// over the wire, and where the program stands afterwards (no success line
// after a failed block, the pipe reopened by the recovery, the menu shown
// again and a clean quit).
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "shell_e2e.h"

namespace {

using namespace shell_e2e;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The bootloader of every default board, made quick: the start wait is
// believed from 1000 ms up, and the erase takes no time.
const std::string QuickBootloader =
    R"({"command": "0xF0", "enter_wait_ms": 1000}, {"command": "0xF4", "erase_ms": 0})";

// A scenario of the default instrument with the quick bootloader, the given
// faults and any further top-level keys (",\"open_result\": ...").
std::string Scenario(const std::string& faults, const std::string& more = {}) {
    return R"({"faults": [)" + QuickBootloader + (faults.empty() ? "" : ", ") + faults + "]" +
           more + "}";
}

const std::string Bangs = "\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
const std::string DeviceError = "  16: Device Error, either device fault or command error.\n";
const std::string PipeNotOpen =
    "  251: Close Quellis and this program and try again.\n"
    "************************************************\n"
    "************************************************\n"
    "************************************************\n";
// The system's own error text differs between systems; Normalized() puts
// this in its place.
const std::string SystemError = "Windows error: <system text>\n";

const std::string DownloadStart =
    "\nYou chose firmware/x.bin \n"
    "  New code version: 3.5\n"
    "What device? ";
const std::string ErasedAndWriting =
    "  Old code version: 1.17\n"
    "*** Erase FLASH ***\n"
    "*** writing packets out and verifying them ***\n";
const std::string Success =
    "*** Resetting to run the new code. ***\n"
    "  Waiting on restart...   Firmware download successful.\n"
    "Press return ";
const std::string SuccessLine = "  Firmware download successful.\n";
const std::string Recovery =
    "  Closing the USB port, it might not be working.\n"
    "\n*** Waiting on reset ***\n"
    "  Opening USB port.\n";
// The sensor boards menu as it is shown once the pipe serves it again.
const std::string SensorMenuAgain = SensorMenu + DefaultLookUp + "\n" + "Device cmd: ";
const std::string MainMenuAgain = "\t\t\t LX7 sonde \n" + MainBoardMenu;
// The main board menu when neither name query is answered.
const std::string MainMenuUnnamed =
    "\t\t\tcommand error\ncommand error\n Unknown Device \n" + MainBoardMenu;

// Replaces the text of every "Windows error: " line by a fixed one.
std::string Normalized(std::string text) {
    const std::string label = "Windows error: ";
    for (std::size_t at = text.find(label); at != std::string::npos;
         at = text.find(label, at + SystemError.size())) {
        const std::size_t end = text.find('\n', at);
        text.replace(at, end == std::string::npos ? std::string::npos : end + 1 - at, SystemError);
    }
    return text;
}

// For every sending of `frame`, the wire log line that follows it: its
// answer, or the next request when none came.
std::vector<std::string> LinesAfter(const SessionResult& r, const std::string& frame) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < r.wire.size(); ++i) {
        if (r.wire[i] != "> " + frame) continue;
        lines.push_back(i + 1 < r.wire.size() ? r.wire[i + 1] : "<end of log>");
    }
    return lines;
}

// The line after the first sending of `frame` ("" when it was not sent).
std::string LineAfter(const SessionResult& r, const std::string& frame) {
    const std::vector<std::string> lines = LinesAfter(r, frame);
    return lines.empty() ? "" : lines.front();
}

std::string Answer(uint8_t status, const Bytes& payload = {}) {
    return "< " + Request(0, status, payload);
}

bool WasSent(const SessionResult& r, const std::string& head) {
    const std::vector<std::string> heads = Requests(r);
    return std::find(heads.begin(), heads.end(), head) != heads.end();
}

int TimesSent(const SessionResult& r, const std::string& head) {
    const std::vector<std::string> heads = Requests(r);
    return static_cast<int>(std::count(heads.begin(), heads.end(), head));
}

// Bytes of a wire log line ("< 00 00 ...").
Bytes LineBytes(const std::string& line) {
    Bytes bytes;
    for (std::size_t i = 2; i + 1 < line.size(); i += 3) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%.4X", value);
    return text;
}

// The three lines of a CRC mismatch report.
std::string CrcMismatch(uint16_t received, uint16_t computed) {
    return Bangs + "Response corrupt, CRC mismatch: " + Hex4(received) + " != " + Hex4(computed) +
           "\n" + Bangs;
}

// The pieces must appear in the text in this order, none overlapping.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& pieces) {
    std::size_t at = 0;
    for (const std::string& piece : pieces) {
        const std::size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing in order:\n" << piece << "\n---\n" << text;
        at = found + piece.size();
    }
}

// The output must end with the prompt of a menu: the program is back there.
void ExpectEndsWith(const std::string& text, const std::string& tail) {
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

// A work folder holding "firmware/x.bin", removed afterwards.
class Bench {
  public:
    Bench() {
        static int counter = 0;
        dir_ = fs::temp_directory_path() /
               ("quillon-faults-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "firmware");
    }
    ~Bench() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // The image: header code version 3.5, data of `blocks` 256-byte blocks
    // beginning with the code version 3.5, as the board takes it.
    Bytes WriteImage(std::size_t blocks) {
        Bytes bytes{0x11, 0x22, 0x85, 0x01, 0x85, 0x01};
        for (std::size_t i = 2; i < blocks * 256; ++i) bytes.push_back(uint8_t(i * 7 + 3));
        std::ofstream out(dir_ / "firmware" / "x.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return Bytes(bytes.begin() + 4, bytes.end());
    }

    SessionResult Run(const std::string& input, const std::string& scenario) {
        SessionOptions options;
        options.input = input;
        options.scenarioJson = scenario;
        options.env["TZ"] = "UTC";
        options.workDir = dir_.string();
        options.timeoutSeconds = 60;
        SessionResult result = RunSession(options);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.errors, "");
        result.output = Normalized(result.output);
        return result;
    }

  private:
    fs::path dir_;
};

class FaultCampaign : public ::testing::Test {
  protected:
    Bench bench;
};

// The requests of a download into board 3 of a one-block image.
const std::string Disable = Request(1, 0x08);
const std::string Enter = Request(1, 0xF0, {3, 0});
const std::string Attributes = Request(1, 0xF1, {3, 0, 0, 1, 0, 0});
const std::string Erase = Request(1, 0xF4, {3, 0});
const std::string ReadBlock1 = Request(1, 0xF2, {3, 0, 1, 0});
const std::string ReadBlock2 = Request(1, 0xF2, {3, 0, 2, 0});
const std::string BoardReset3 = Request(1, 0x81, {3, 0});
const std::string Enable = Request(1, 0x07);

std::string WriteBlock(const Bytes& data, uint16_t number) {
    Bytes payload{3, 0, uint8_t(number), uint8_t(number >> 8)};
    payload.insert(payload.end(), data.begin() + (number - 1) * 256, data.begin() + number * 256);
    return Request(1, 0xF3, payload);
}

// ---------------------------------------------------------------------------
// A device status on every command the program sends, each through the menu
// command that sends it.

struct StatusCase {
    const char* name;
    uint8_t address;
    uint8_t command;
    const char* match;  // further match keys of the fault, JSON
    std::string input;
    std::string shown;  // what the technician sees, one stretch of text
    std::string tail;   // the end of the output: the menu the program is back at
    int sends;          // how often the command goes out (retries included)
    enum Kind { Plain, DownloadEndsEarly, DownloadRecovers, DownloadCompletes } kind = Plain;
};

std::vector<StatusCase> StatusCases() {
    const std::string top = TopMenu + DefaultLookUp + StayAwakeNotice + "\n" + "Service choice: ";
    const std::string dl = "s\ndl\n1\n3\nq\n";
    const std::string tavi = "TAVI Error: " + DeviceError;
    return {
        // The look-up resends a refused System Reset once and goes on.
        {"SystemReset", 1, 0x02, "", "q\n", top, "Service choice: ", 2},
        // The answer to System Sleep is not examined: the program ends.
        {"SystemSleep", 1, 0x03, "", "q\n", top, "Service choice: ", 1},
        {"StayAwake", 1, 0x04, "", "q\n",
         StayAwakeNotice + "\n" + DeviceError + "Service choice: ", "Service choice: ", 2},
        {"DeviceListing", 1, 0x09, "", "s\nll\nq\n",
         "\nlooking up sensors..." + DeviceError +
             "Device cmd: \nSystem Device Report\nPress return " + SensorMenu +
             "\nlooking up sensors..." + DeviceError + "Device cmd: ",
         "Device cmd: ", 4},
        {"IdStringRead", 1, 0x0A, "", "m\nsi\nq\n",
         "Main Board cmd: \nSystem ID String Read\nPress return " + MainMenuAgain, MainMenuAgain,
         1},
        // The serial number itself is written; the sonde keeps its old ID.
        // The status comes back from the transaction as its result, so it
        // is reported twice over: as the status and as a system error.
        {"IdStringWrite", 1, 0x0B, "", "m\nsn\nSN-X\nsi\nq\n",
         "New serial number string is: SN-X\nNew stuff: Limnora Sonde, SN-X\n" + tavi +
             SystemError + "Press return " + MainMenuAgain +
             "\nSystem ID String Read\n\nSystem Name  Limnora Sonde\n" +
             "System S/N  21C100457\nPress return ",
         MainMenuAgain, 1},
        {"BoardReset", 1, 0x81, "", "m\nrs\n1\nq\n", "enter 0 or 1: Press return " + MainMenuAgain,
         MainMenuAgain, 1},
        // The third Device Report is the report; the two before name the menu.
        {"DeviceReport", 1, 0x82, R"("occurrence": 3)", "m\ncn\nq\n",
         "Main Board cmd: Main board report\nPress return " + MainMenuAgain, MainMenuAgain, 5},
        // The sensor's factory reset follows the refused clear all the same.
        {"BoardOperation", 1, 0x88, R"("board": 3)", "s\ncl\n3\nq\n",
         "Sensor address: Formatting.\nPress return " + SensorMenuAgain, SensorMenuAgain, 1},
        {"SettingWrite", 1, 0x89, "", "m\nsb\nq\n",
         "Set up battery range limits.\nPress return " + MainMenuAgain, MainMenuAgain, 1},
        // The refused serial number is not stored; the report shows the old one.
        {"SetSerialNumber", 1, 0x8A, "", "m\nsn\nSN-X\ncn\nq\n",
         "New serial number string is: SN-X\nNew stuff: Limnora Sonde, SN-X\nPress return " +
             MainMenuAgain +
             "Main board report\nDevice Report\n LX7 sonde \nDev Family    202\nDev Model     2\n"
             "UI version:   7\nCode version: 1.5\nS/N          \"21C100457\"\n",
         MainMenuAgain, 1},
        {"SetBuildDate", 1, 0x8B, "", "m\nbd\nq\n",
         "Main board set set build date\nSet to today's date.\n Right now is : ", MainMenuAgain, 1},
        {"SetMaintenance", 1, 0x8C, "", "m\nmd\nq\n",
         "Maintenance interval= 0 seconds \nPress return " + MainMenuAgain, MainMenuAgain, 1},
        {"DeviceDisable", 1, 0x08, "", dl, DownloadStart + ErasedAndWriting + "\r|(0%)\n" + Success,
         SensorMenuAgain, 1, StatusCase::DownloadCompletes},
        {"BootloaderEnter", 1, 0xF0, "", dl, DownloadStart + tavi + SensorMenuAgain,
         SensorMenuAgain, 1, StatusCase::DownloadEndsEarly},
        {"BootloaderAttributes", 1, 0xF1, "", dl, DownloadStart + tavi + SensorMenuAgain,
         SensorMenuAgain, 1, StatusCase::DownloadEndsEarly},
        {"FlashErase", 1, 0xF4, "", dl,
         DownloadStart + "  Old code version: 1.17\n*** Erase FLASH ***\n  FAILED, result= 0\n" +
             tavi + SensorMenuAgain,
         SensorMenuAgain, 1, StatusCase::DownloadEndsEarly},
        {"WritePage", 1, 0xF3, "", dl,
         DownloadStart + ErasedAndWriting +
             "  We got an error writing block= 0,  byte count= 256 FAILED\n" + tavi + "\n" + tavi +
             Recovery + SensorMenuAgain,
         SensorMenuAgain, 1, StatusCase::DownloadRecovers},
        // A refused read-back is asked once more ("$"), then the transfer fails.
        {"ReadPage", 1, 0xF2, "", dl,
         DownloadStart + ErasedAndWriting +
             "$  We got an error reading block 0, count 256 FAILED\n" + tavi + "\n" + tavi +
             Recovery + SensorMenuAgain,
         SensorMenuAgain, 2, StatusCase::DownloadRecovers},
        // The answer to System Device Enable is not examined.
        {"DeviceEnable", 1, 0x07, "", dl, DownloadStart + ErasedAndWriting + "\r|(0%)\n" + Success,
         SensorMenuAgain, 1, StatusCase::DownloadCompletes},
    };
}

void PrintTo(const StatusCase& c, std::ostream* out) {
    *out << c.name;
}

class DeviceStatusOnEveryCommand : public ::testing::TestWithParam<StatusCase> {
  protected:
    Bench bench;
};

TEST_P(DeviceStatusOnEveryCommand, IsShownAndTheProgramGoesBackToTheMenu) {
    const StatusCase& c = GetParam();
    const Bytes data = bench.WriteImage(1);
    char head[8];
    std::snprintf(head, sizeof head, "%.2X %.2X", c.address, c.command);
    std::string fault = R"({"command": )" + std::to_string(c.command) + ", \"status\": 16";
    if (*c.match != '\0') fault += std::string(", ") + c.match;
    fault += "}";
    const SessionResult r = bench.Run(c.input, Scenario(fault));

    EXPECT_NE(r.output.find(c.shown), std::string::npos) << r.output;
    ExpectEndsWith(r.output, c.tail);
    EXPECT_EQ(r.exitCode, 0);

    // Every request of that command got the status, and nothing else came back.
    int answered = 0;
    for (std::size_t i = 0; i + 1 < r.wire.size(); ++i) {
        if (r.wire[i].rfind(std::string("> ") + head, 0) != 0) continue;
        if (std::string(c.match).find("occurrence") != std::string::npos &&
            r.wire[i + 1] != Answer(16)) {
            continue;
        }
        EXPECT_EQ(r.wire[i + 1], Answer(16)) << i;
        ++answered;
    }
    EXPECT_GE(answered, 1) << "command " << head << " was not sent";
    const std::vector<std::string> heads = Requests(r);
    EXPECT_EQ(std::count(heads.begin(), heads.end(), head), c.sends) << head;

    const bool download = c.kind != StatusCase::Plain;
    if (download) {
        EXPECT_EQ(CountOf(r.output, SuccessLine), c.kind == StatusCase::DownloadCompletes ? 1 : 0);
        EXPECT_EQ(WasSent(r, "01 07"), c.kind == StatusCase::DownloadCompletes);
        EXPECT_EQ(CountOf(r.output, "  Opening USB port.\n"),
                  c.kind == StatusCase::DownloadRecovers ? 1 : 0);
    }
    if (download) {
        // The download's requests stop at the refused one; the next frame
        // is the look-up of the menu.
        std::vector<std::string> expected = {
            Disable,    Enter,       Attributes, Erase, WriteBlock(data, 1),
            ReadBlock1, BoardReset3, Enable};
        const std::size_t upTo =
            c.kind == StatusCase::DownloadCompletes
                ? expected.size()
                : static_cast<std::size_t>(
                      std::find_if(expected.begin(), expected.end(),
                                   [&](const std::string& f) { return f.rfind(head, 0) == 0; }) -
                      expected.begin()) +
                      1;
        expected.resize(upTo);
        if (c.command == 0xF2) expected.push_back(ReadBlock1);  // the one retry
        expected.push_back(SystemReset);
        const std::vector<std::string> sent = SentFrames(r);
        const auto from = std::find(sent.begin(), sent.end(), Disable);
        ASSERT_NE(from, sent.end());
        EXPECT_EQ(
            std::vector<std::string>(
                from, from + std::min<std::ptrdiff_t>(
                                 sent.end() - from, static_cast<std::ptrdiff_t>(expected.size()))),
            expected);
    }
    if (c.kind == StatusCase::DownloadRecovers) {
        // The recovery's reopened pipe serves the menu's look-up.
        const std::size_t reopened = r.output.find(Recovery);
        ASSERT_NE(reopened, std::string::npos);
        EXPECT_NE(r.output.find("Currently connected LX system", reopened), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, DeviceStatusOnEveryCommand, ::testing::ValuesIn(StatusCases()),
                         [](const ::testing::TestParamInfo<StatusCase>& param) {
                             return std::string(param.param.name);
                         });

// ---------------------------------------------------------------------------
// Time-outs.

TEST_F(FaultCampaign, TimeoutsOfTheReportAndOfTheWholeSonde) {
    // The report's request is not answered: the report ends with the pause.
    const SessionResult report = bench.Run(
        "m\ncn\nq\n", Scenario(R"({"command": "0x82", "occurrence": 3, "timeout": true})"));
    EXPECT_NE(
        report.output.find("Main Board cmd: Main board report\nPress return " + MainMenuAgain),
        std::string::npos)
        << report.output;
    // Name, name, report, name, name: only the report went unanswered.
    const std::vector<std::string> after = LinesAfter(report, OwnBoardReport);
    ASSERT_EQ(after.size(), 5u);
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].substr(0, 2), i == 2 ? "> " : "< ") << i;
    }
    EXPECT_EQ(CountOf(report.output, "Press return "), 1);
    ExpectEndsWith(report.output, MainMenuAgain);
    EXPECT_EQ(report.exitCode, 0);

    // Nothing behind the USB device answers: the look-up says so, the main
    // board menu cannot name the sonde, and the program still quits cleanly.
    const SessionResult silent =
        bench.Run("m\nq\n", Scenario(R"({"address": 1, "timeout": true})"));
    EXPECT_EQ(AfterStartUp(silent.output), TopMenu + "\nlooking up sensors..." +
                                               "No sonde detected.\n" +
                                               "Service choice: " + MainMenuUnnamed);
    EXPECT_EQ(Requests(silent),
              (std::vector<std::string>{"01 02", "01 02", "01 09", "01 82", "01 82", "01 03"}));
    for (const std::string& line : silent.wire) EXPECT_EQ(line[0], '>') << line;
    EXPECT_EQ(silent.exitCode, 0);
}

TEST_F(FaultCampaign, TimeoutsDuringDownloads) {
    const Bytes data = bench.WriteImage(1);
    // First download: one read-back times out, the one retry succeeds.
    // Second: the read-back times out twice. Third: the write times out.
    const SessionResult r = bench.Run("s\ndl\n1\n3\ndl\n1\n3\ndl\n1\n3\nq\n",
                                      Scenario(R"({"command": "0xF2", "occurrence": 1,
                                                   "timeout": true},
                                                  {"command": "0xF2", "occurrence": 3, "times": 2,
                                                   "timeout": true},
                                                  {"command": "0xF3", "occurrence": 3,
                                                   "timeout": true})"));
    // After the first download the board runs code 3.5.
    const std::string erasedAgain =
        "  Old code version: 3.5\n*** Erase FLASH ***\n"
        "*** writing packets out and verifying them ***\n";
    const std::string first =
        DownloadStart + ErasedAndWriting + "$\r|(0%)\n" + Success + SensorMenuAgain;
    const std::string second = DownloadStart + erasedAgain +
                               "$  We got an error reading block 0, count 256 FAILED\n" +
                               SystemError + "\n" + "TAVI Error:   255: Huh? What is this?\n" +
                               SystemError + Recovery + SensorMenuAgain;
    const std::string third = DownloadStart + erasedAgain +
                              "  We got an error writing block= 0,  byte count= 256 FAILED\n" +
                              SystemError + "\n" + "TAVI Error:   255: Huh? What is this?\n" +
                              SystemError + Recovery + SensorMenuAgain;
    ExpectInOrder(r.output, {first, second, third});
    ExpectEndsWith(r.output, SensorMenuAgain);
    EXPECT_EQ(CountOf(r.output, SuccessLine), 1);

    // Wire: two read-backs in the first download, the second one answered
    // with the block; two unanswered in the second; the write of the third
    // unanswered and not followed by a read-back.
    EXPECT_EQ(TimesSent(r, "01 F2"), 4);
    EXPECT_EQ(TimesSent(r, "01 F3"), 3);
    EXPECT_EQ(TimesSent(r, "01 07"), 1);
    EXPECT_EQ(TimesSent(r, "01 81"), 1);
    const std::vector<std::string> afterWrites = LinesAfter(r, WriteBlock(data, 1));
    ASSERT_EQ(afterWrites.size(), 3u);
    EXPECT_EQ(afterWrites[0], Answer(0));
    EXPECT_EQ(afterWrites[1], Answer(0));
    EXPECT_EQ(afterWrites[2].substr(0, 7), "> 01 02") << "the reopened pipe's look-up";
    EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------
// Short frames: fewer than six bytes, or a frame whose rest never arrives.

TEST_F(FaultCampaign, ShortFrames) {
    bench.WriteImage(1);
    // The report of sensor 1 arrives as 3 + 2 bytes; a refused serial number
    // arrives as 3 bytes and no more; the write answer as 2 + 2 bytes.
    const SessionResult r = bench.Run("s\ncn\n1\nsn\n2\nSN-Y\ndl\n1\n3\nq\n",
                                      Scenario(R"({"command": "0x82", "board": 1, "short": 5,
                                                   "split": 3},
                                                  {"command": "0x8A", "status": 16, "short": 3},
                                                  {"command": "0xF3", "short": 4, "split": 2})"));
    // The report's five bytes end in its length's high byte and the family
    // (4): they are compared with 0000 as the CRC.
    EXPECT_NE(r.output.find("Sensor address? " + CrcMismatch(0x0400, 0x0000) + "Press return " +
                            SensorMenuAgain),
              std::string::npos)
        << r.output;
    // A status byte with a link failure is the one case a setting reports.
    EXPECT_NE(r.output.find("New serial number string is: SN-Y\nTAVI Error: " + DeviceError +
                            SystemError + "Press return " + SensorMenuAgain),
              std::string::npos)
        << r.output;
    // The write's four zero bytes make a short frame whose CRC agrees.
    EXPECT_NE(r.output.find(DownloadStart + ErasedAndWriting +
                            "  We got an error writing block= 0,  byte count= 256 FAILED\n" +
                            SystemError + "\n" + "TAVI Error:   1: Some communications failure.\n" +
                            SystemError + Recovery + SensorMenuAgain),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, SuccessLine), 0);
    EXPECT_EQ(CountOf(r.output, "CRC mismatch"), 1);
    EXPECT_FALSE(WasSent(r, "01 F2"));
    EXPECT_EQ(LineAfter(r, Request(1, 0x82, {1, 0})), "< 00 00 9A");
    ExpectEndsWith(r.output, SensorMenuAgain);
    EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------
// Corrupted CRC: reported, and the answer used as received.

TEST_F(FaultCampaign, CorruptedCrcIsShownButTheAnswerIsUsed) {
    bench.WriteImage(1);
    const SessionResult r = bench.Run("s\nll\ndl\n1\n3\nq\n",
                                      Scenario(R"({"command": 9, "occurrence": 3, "bad_crc": true},
                                             {"command": "0xF3", "bad_crc": true})"));
    // The listing's CRC bytes arrive inverted.
    const std::vector<std::string> listings = LinesAfter(r, DeviceListing);
    ASSERT_GE(listings.size(), 3u);
    const Bytes listing = LineBytes(listings[2]);
    ASSERT_EQ(listing.size(), 6u + 4 + 7 * 6) << listings[2];
    const uint16_t received = ReadLe16(&listing[listing.size() - 2]);
    const uint16_t computed = Crc16::Of(std::span(listing.data(), listing.size() - 2));
    EXPECT_EQ(received, computed ^ 0xFFFF);
    EXPECT_NE(r.output.find("\nSystem Device Report\n" + CrcMismatch(received, computed) +
                            "\nMin Stabilization time: 60\nnum devices: 7\n\nController\n"
                            "Address:      00\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, "Address:      "), 7);

    // The write's answer, status 0 with its CRC 0000 inverted, is not a failure.
    EXPECT_NE(r.output.find(DownloadStart + ErasedAndWriting + CrcMismatch(0xFFFF, 0x0000) +
                            "\r|(0%)\n" + Success + SensorMenuAgain),
              std::string::npos)
        << r.output;
    EXPECT_TRUE(WasSent(r, "01 07"));
    ExpectEndsWith(r.output, SensorMenuAgain);
    EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------
// Split reads: one answer in two transfers is put together again.

TEST_F(FaultCampaign, SplitAnswersAreJoined) {
    const Bytes data = bench.WriteImage(2);
    const SessionResult r = bench.Run("s\ncn\n3\ndl\n1\n3\nll\nq\n",
                                      Scenario(R"({"command": "0x82", "board": 3, "split": 14},
                                                   {"command": "0xF2", "split": 2})"));
    EXPECT_NE(r.output.find("Sensor address? Device Report\n KDO \nDev Family    5\n"
                            "Dev Model     2\nUI version:   3\nCode version: 1.17\n"
                            "S/N          \"22K207781\"\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(DownloadStart + ErasedAndWriting + "\r|(0%)\r/(50%)\n" + Success),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, "CRC mismatch"), 0);
    // The read-back came in two transfers: the first two bytes, then the rest.
    EXPECT_EQ(LineAfter(r, ReadBlock2), "< 00 00");
    // The board now runs the downloaded code.
    EXPECT_NE(r.output.find(" KDO \nFamily:       5\nModel:        2\nUI version:   3\n"
                            "Code version: 3.5\n"),
              std::string::npos)
        << r.output;
    const std::vector<std::string> sent = SentFrames(r);
    EXPECT_NE(std::find(sent.begin(), sent.end(), WriteBlock(data, 2)), sent.end());
    EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------
// Extra bytes after the frame in the same transfer.

TEST_F(FaultCampaign, ExtraBytesAreTakenIntoTheCrc) {
    bench.WriteImage(1);
    const SessionResult r =
        bench.Run("s\ndl\n1\n3\nq\n", Scenario(R"({"command": 9, "extra": "AA 55"},
                                                        {"command": "0xF3", "extra": "AA 55"})"));
    // The last two bytes received are the extra ones; the CRC is computed
    // over everything before them.
    const std::vector<std::string> listings = LinesAfter(r, DeviceListing);
    ASSERT_EQ(listings.size(), 3u);
    auto lookUp = [](const std::string& line) {
        const Bytes listing = LineBytes(line);
        EXPECT_EQ(listing.size(), 6u + 4 + 7 * 6 + 2);
        const uint16_t computed = Crc16::Of(std::span(listing.data(), listing.size() - 2));
        return "\nlooking up sensors..." + CrcMismatch(0x55AA, computed) +
               DefaultLookUp.substr(std::string("\nlooking up sensors...").size());
    };
    // Every look-up shows the mismatch and goes on with the listing.
    const std::string first = lookUp(listings[0]);
    EXPECT_EQ(AfterStartUp(r.output).substr(0, TopMenu.size() + first.size()), TopMenu + first);
    // The write's answer: status 0, CRC 0000, then AA 55. Not a failure:
    // the download completes.
    EXPECT_NE(r.output.find(ErasedAndWriting + CrcMismatch(0x55AA, 0x0000) + "\r|(0%)\n" + Success),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, "CRC mismatch: 55AA != "), 4);
    // The last look-up lists board 3 with its new code, so its CRC differs.
    ExpectEndsWith(r.output, SensorMenu + lookUp(listings[2]) + "\n" + "Device cmd: ");
    EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------
// Bogus counts and bootloader values.

TEST_F(FaultCampaign, BogusCountsAndBootloaderValues) {
    bench.WriteImage(1);
    const SessionResult r =
        bench.Run("s\nll\ncn\n2\ncn\n1\ncn\n3\ncn\n4\ndl\n1\n3\nq\n",
                  R"({"faults": [{"command": 9, "occurrence": 3, "counts": {"devices": 18}},
                       {"command": "0x82", "board": 2, "counts": {"components": 3}},
                       {"command": "0x82", "board": 1, "counts": {"inputs": 11}},
                       {"command": "0x82", "board": 3, "counts": {"steps": 7}},
                       {"command": "0x82", "board": 4, "counts": {"calibrations": 5,
                                                                  "last_cal": 6}},
                       {"command": "0xF0", "enter_wait_ms": 0},
                       {"command": "0xF1", "block_size": 0}]})");
    // Too many devices: the listing stops at once, without the pause.
    EXPECT_NE(
        r.output.find("num devices: 18\n\nController\nbogus number of devices.\n" + SensorMenu),
        std::string::npos)
        << r.output;
    // Too many components: the report stops at once, without the pause.
    EXPECT_NE(r.output.find("Num Comp     0x03\nDevEn Mask   0x03\n"
                            "Bogus number of components: 3 - abort.\n" +
                            SensorMenu),
              std::string::npos)
        << r.output;
    // The other refusals are reported in line; the report goes on to the pause.
    EXPECT_NE(r.output.find("\nNum setups 2\n\nSetup 1 Bogus number of inputs.\n\nSetup 2 with "),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("\nCalibration 1 with bogus number of steps.\n"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Bugus number.\n\nNum Calibrations 0\nBugus number.\n"
                            "\nLast Calibration number done 0\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, "Sensor address? Device Report\n"), 4);
    EXPECT_EQ(CountOf(r.output, "Press return "), 3);
    // A block size of 0 stops the download before the erase.
    EXPECT_NE(r.output.find(DownloadStart + "  Don't believe 0, waiting 1000ms for reset\n" +
                            "  Old code version: 1.17\n" +
                            "  The device reports a block size of 0, nothing can be written "
                            "FAILED\n" +
                            SensorMenuAgain),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(WasSent(r, "01 F4"));
    EXPECT_FALSE(WasSent(r, "01 F3"));
    EXPECT_EQ(CountOf(r.output, SuccessLine), 0);
    ExpectEndsWith(r.output, SensorMenuAgain);
    EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------
// Read-back mismatch.

TEST_F(FaultCampaign, ReadBackMismatchDumpsBothBlocksAndRecovers) {
    const Bytes data = bench.WriteImage(2);
    // Block 1 comes back with byte 7 changed, which is never compared;
    // block 2 with byte 6 changed.
    const SessionResult r = bench.Run(
        "s\ndl\n1\n3\nq\n", Scenario(R"({"command": "0xF2", "occurrence": 1, "readback_offset": 7},
                                        {"command": "0xF2", "occurrence": 2, "readback_offset": 6})"));
    auto dump = [](const Bytes& bytes) {
        std::string text;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%.2X ", bytes[i]);
            text += hex;
            if ((i + 1) % 16 == 0) text += "\n";
        }
        return text;
    };
    const Bytes sent(data.begin() + 256, data.end());
    Bytes received = sent;
    received[6] ^= 0xFF;
    EXPECT_NE(r.output.find(DownloadStart + ErasedAndWriting +
                            "\r|(0%)  Block read does not match block written for block 1, byte 6 "
                            "FAILED\n  sent: \n" +
                            dump(sent) + "\n" + "received: \n" + dump(received) + "\n" + "\n" +
                            "TAVI Error:   1: Some communications failure.\n" + Recovery +
                            SensorMenuAgain),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, SuccessLine), 0);
    EXPECT_FALSE(WasSent(r, "01 07"));
    EXPECT_FALSE(WasSent(r, "01 81"));
    EXPECT_EQ(TimesSent(r, "01 F3"), 2);
    EXPECT_EQ(TimesSent(r, "01 F2"), 2);
    ExpectEndsWith(r.output, SensorMenuAgain);
    EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------
// Open failures.

TEST_F(FaultCampaign, FailedOpenLeavesEveryExchangeRefused) {
    const SessionResult r = bench.Run("m\nsi\nq\n", R"({"open_result": -4})");
    EXPECT_NE(r.output.find("Failed to init USB port!\nTest TAVI channel\n"), std::string::npos)
        << r.output;
    EXPECT_EQ(AfterStartUp(r.output),
              TopMenu + "\nlooking up sensors..." + PipeNotOpen + "Service choice: " +
                  MainMenuUnnamed + "\nSystem ID String Read\nPress return " + MainMenuUnnamed);
    EXPECT_TRUE(r.wire.empty());
    EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------
// The pipe lost: the cable pulled in the middle of an exchange.

TEST_F(FaultCampaign, PipeLostInTheMiddleOfADownloadIsReopenedByTheRecovery) {
    const Bytes data = bench.WriteImage(2);
    const SessionResult r = bench.Run(
        "s\ndl\n1\n3\nll\nq\n",
        Scenario(R"({"command": "0xF3", "board": 3, "occurrence": 2, "lose_pipe": true})"));
    EXPECT_NE(r.output.find(DownloadStart + ErasedAndWriting +
                            "\r|(0%)  We got an error writing block= 1,  byte count= 512 FAILED\n" +
                            SystemError + "\n" + "TAVI Error: " + PipeNotOpen + SystemError +
                            Recovery + SensorMenuAgain),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, SuccessLine), 0);
    // The second block went out and nothing came back; the next frame is the
    // look-up over the reopened pipe, which is answered.
    EXPECT_EQ(LineAfter(r, WriteBlock(data, 2)), "> " + SystemReset);
    EXPECT_EQ(LineAfter(r, ReadBlock1).substr(0, 14), "< 00 00 04 01 ");
    EXPECT_FALSE(WasSent(r, "01 07"));
    EXPECT_FALSE(WasSent(r, "01 81"));
    // The board still runs its old code.
    EXPECT_NE(r.output.find(" KDO \nFamily:       5\nModel:        2\nUI version:   3\n"
                            "Code version: 1.17\n"),
              std::string::npos)
        << r.output;
    ExpectEndsWith(r.output, SensorMenuAgain);
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(FaultCampaign, PipeLostAndTheReopenFailing) {
    bench.WriteImage(2);
    const SessionResult r =
        bench.Run("s\ndl\n1\n3\nll\nq\n",
                  Scenario(R"({"command": "0xF3", "occurrence": 2, "lose_pipe": true})",
                           R"(, "open_result": [0, -3])"));
    // The recovery says the pipe did not open; every menu after it reports
    // the closed pipe, and the listing shows nothing.
    EXPECT_NE(r.output.find(Recovery + "  Failed to init USB port!\n" + SystemError + SensorMenu +
                            "\nlooking up sensors..." + PipeNotOpen +
                            "Device cmd: " + "\nSystem Device Report\nPress return " + SensorMenu +
                            "\nlooking up sensors..." + PipeNotOpen + "Device cmd: "),
              std::string::npos)
        << r.output;
    EXPECT_EQ(CountOf(r.output, SuccessLine), 0);
    // Nothing went over the wire after the lost write.
    ASSERT_FALSE(r.wire.empty());
    EXPECT_EQ(r.wire.back().substr(0, 7), "> 01 F3");
    EXPECT_EQ(TimesSent(r, "01 F3"), 2);
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(FaultCampaign, PipeLostOutsideADownloadStaysLost) {
    const SessionResult r = bench.Run(
        "m\ncn\nq\n", Scenario(R"({"command": "0x82", "occurrence": 3, "lose_pipe": true})"));
    EXPECT_NE(r.output.find("Main Board cmd: Main board report\nPress return " + MainMenuUnnamed),
              std::string::npos)
        << r.output;
    ExpectEndsWith(r.output, MainBoardMenu);
    // The report request was the last frame: System Sleep never left.
    ASSERT_FALSE(r.wire.empty());
    EXPECT_EQ(r.wire.back(), "> " + OwnBoardReport);
    EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
