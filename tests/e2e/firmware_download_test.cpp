// The 'dl' command against the virtual instrument: a real download into a
// sensor board's flash, what the board then reports, and the ways a
// download ends early.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "shell_e2e.h"

namespace {

using namespace shell_e2e;
namespace fs = std::filesystem;

// A work folder holding "firmware"; removed when the test ends.
class FirmwareSession : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        dir = fs::temp_directory_path() /
              ("quillon-fw-e2e-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(dir);
        fs::create_directories(dir / "firmware");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // An image whose header carries headerVersion and whose data begin with
    // dataVersion (the word the board runs after its reset), dataLength
    // bytes of data in all.
    std::vector<uint8_t> WriteImage(const std::string& name, uint16_t headerVersion,
                                    uint16_t dataVersion, std::size_t dataLength) {
        std::vector<uint8_t> bytes{0x11,
                                   0x22,
                                   uint8_t(headerVersion),
                                   uint8_t(headerVersion >> 8),
                                   uint8_t(dataVersion),
                                   uint8_t(dataVersion >> 8)};
        for (std::size_t i = 2; i < dataLength; ++i) bytes.push_back(uint8_t(i * 13 + 1));
        std::ofstream out(dir / "firmware" / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }

    SessionResult Run(const std::string& input, const std::string& scenario,
                      const std::map<std::string, std::string>& env = {}) {
        SessionOptions options;
        options.input = input;
        options.scenarioJson = scenario;
        options.env = env;
        options.env["TZ"] = "UTC";
        options.workDir = dir.string();
        options.timeoutSeconds = 90;
        SessionResult result = RunSession(options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    bool Sent(const SessionResult& r, const std::string& frame) {
        for (const std::string& line : SentFrames(r)) {
            if (line == frame) return true;
        }
        return false;
    }

    fs::path dir;
};

// Short waits: the bootloader's start wait is believed from 1000 ms up.
const std::string QuickBootloader =
    R"({"faults": [{"command": "0xF0", "enter_wait_ms": 1000}, {"command": "0xF4", "erase_ms": 0})";

std::vector<uint8_t> BlockPayload(const std::vector<uint8_t>& image, uint8_t device,
                                  uint16_t number, std::size_t size) {
    std::vector<uint8_t> payload(4 + size);
    payload[0] = device;
    payload[2] = uint8_t(number);
    payload[3] = uint8_t(number >> 8);
    const std::size_t from = 4 + (number - 1u) * size;
    for (std::size_t i = 0; i < size; ++i) payload[4 + i] = image.at(from + i);
    return payload;
}

TEST_F(FirmwareSession, CompletedDownloadRunsTheNewCode) {
    // The default KDO board (address 3) runs code 1.17 and takes 256-byte
    // blocks; the image carries code 3.5.
    const auto image = WriteImage("kdo.bin", 0x0185, 0x0185, 3 * 256);
    const SessionResult r = Run("s\ndl\n1\n3\n\nll\n\nq\n", QuickBootloader + "]}");

    EXPECT_NE(r.output.find("\nYou chose " + FirmwarePath("kdo.bin") +
                            " \n"
                            "  New code version: 3.5\n"
                            "What device? "
                            "  Old code version: 1.17\n"
                            "*** Erase FLASH ***\n"
                            "*** writing packets out and verifying them ***\n"
                            "\r|(0%)\r/(33%)\r-(66%)\n"
                            "*** Resetting to run the new code. ***\n"
                            "  Waiting on restart...   Firmware download successful.\n"
                            "Press return "),
              std::string::npos)
        << r.output;

    // 768 data bytes; three blocks numbered 1 to 3.
    EXPECT_TRUE(Sent(r, Request(1, 0xF1, {3, 0, 0x00, 0x03, 0, 0})));
    for (uint16_t n = 1; n <= 3; ++n) {
        EXPECT_TRUE(Sent(r, Request(1, 0xF3, BlockPayload(image, 3, n, 256)))) << n;
        EXPECT_TRUE(Sent(r, Request(1, 0xF2, {3, 0, uint8_t(n), 0}))) << n;
    }
    EXPECT_FALSE(Sent(r, Request(1, 0xF2, {3, 0, 4, 0})));
    EXPECT_TRUE(Sent(r, Request(1, 0x81, {3, 0})));
    EXPECT_TRUE(Sent(r, Request(1, 0x07)));

    // The listing after the download shows the board's new code version.
    const std::string listing = r.output.substr(r.output.find("Press return "));
    EXPECT_NE(listing.find("Address:      03\nMask:         08\n KDO \nFamily:       5\n"
                           "Model:        2\nUI version:   3\nCode version: 3.5\n"),
              std::string::npos)
        << listing;
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(FirmwareSession, BlockSizeAboveTheCapGoesOutInBlocksOf512) {
    const auto image = WriteImage("kdo.bin", 0x0185, 0x0206, 2 * 512);
    const SessionResult r = Run("s\ndl\n1\n3\n\nll\n\nq\n",
                                QuickBootloader + R"(, {"command": "0xF1", "block_size": 1024}]})");
    EXPECT_NE(r.output.find("  Can't deal with block size 1024, dropping to 512\n"),
              std::string::npos);
    EXPECT_TRUE(Sent(r, Request(1, 0xF3, BlockPayload(image, 3, 2, 512))));
    EXPECT_NE(r.output.find("  Firmware download successful.\n"), std::string::npos);
    EXPECT_NE(r.output.find(" KDO \nFamily:       5\nModel:        2\nUI version:   3\n"
                            "Code version: 4.6\n"),
              std::string::npos);
}

TEST_F(FirmwareSession, ReadBackMismatchRecoversThePipeAndKeepsTheOldCode) {
    WriteImage("kdo.bin", 0x0185, 0x0185, 3 * 256);
    const SessionResult r =
        Run("s\ndl\n1\n3\nll\n\nq\n",
            QuickBootloader + R"(, {"command": "0xF2", "occurrence": 2, "readback_offset": 5}]})");
    EXPECT_NE(r.output.find("\r|(0%)  Block read does not match block written for block 1, "
                            "byte 5 FAILED\n  sent: \n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("received: \n"), std::string::npos);
    EXPECT_NE(r.output.find("  Closing the USB port, it might not be working.\n"
                            "\n*** Waiting on reset ***\n"
                            "  Opening USB port.\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("successful"), std::string::npos);
    EXPECT_FALSE(Sent(r, Request(1, 0x07)));
    // The reopened pipe serves the listing; the board still runs its old code.
    EXPECT_NE(r.output.find(" KDO \nFamily:       5\nModel:        2\nUI version:   3\n"
                            "Code version: 1.17\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(FirmwareSession, ImageTooLargeForTheBoardIsRefusedBeforeTheErase) {
    WriteImage("big.bin", 0x0185, 0x0185, 131072 + 1);
    const SessionResult r = Run("s\ndl\n1\n3\nq\n", QuickBootloader + "]}");
    EXPECT_NE(r.output.find("TAVI Error: "), std::string::npos);
    EXPECT_NE(r.output.find("  File size is too big\n"), std::string::npos) << r.output;
    const std::vector<std::string> heads = Requests(r);
    EXPECT_EQ(std::count(heads.begin(), heads.end(), "01 F4"), 0);
    EXPECT_EQ(std::count(heads.begin(), heads.end(), "01 F1"), 1);
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(FirmwareSession, CatalogueRepromptsAndASubFolderIsNoSuchFile) {
    WriteImage("a.bin", 0x0185, 0x0185, 10);
    WriteImage("b.bin", 0x0185, 0x0185, 10);
    WriteImage("c.bin", 0x0185, 0x0185, 10);
    fs::create_directory(dir / "firmware" / "old");
    // First pass: learn the enumeration order from the listing.
    const SessionResult listing = Run("s\ndl\n", "");
    int folderNumber = 0;
    for (int k = 1; k <= 4; ++k) {
        if (listing.output.find("\n" + std::to_string(k) + " " + FirmwarePath("old") + "\n") !=
            std::string::npos) {
            folderNumber = k;
        }
    }
    ASSERT_NE(folderNumber, 0) << listing.output;
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        EXPECT_NE(listing.output.find(" " + FirmwarePath(name) + "\n"), std::string::npos);
    }

    const SessionResult r = Run("s\ndl\n0\n5\n" + std::to_string(folderNumber) + "\nq\n", "");
    EXPECT_EQ(CountOf(r.output, "\nEnter the number of the firmware you want: "), 3);
    EXPECT_NE(r.output.find("\nYou chose " + FirmwarePath("old") + " \nNo such file, try again.\n"),
              std::string::npos)
        << r.output;
    for (const std::string& head : Requests(r)) {
        EXPECT_NE(head, "01 08");
        EXPECT_NE(head.substr(3, 1), "F");
    }
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(FirmwareSession, ImageShorterThanOneBlockIsRefusedBeforeTheErase) {
    // The KDO board takes 256-byte blocks; 255 bytes of data make no block.
    WriteImage("kdo.bin", 0x0185, 0x0185, 255);
    const SessionResult r = Run("s\ndl\n1\n3\nq\n", QuickBootloader + "]}");
    EXPECT_NE(r.output.find("What device? "
                            "  Old code version: 1.17\n"
                            "  The image holds 255 data bytes, less than one block of 256 bytes, "
                            "nothing can be written FAILED\n" +
                            SensorMenu + DefaultLookUp + "\nDevice cmd: "),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("successful"), std::string::npos);
    const std::vector<std::string> heads = Requests(r);
    EXPECT_EQ(std::count(heads.begin(), heads.end(), "01 F1"), 1);
    EXPECT_EQ(std::count(heads.begin(), heads.end(), "01 F4"), 0);
    EXPECT_EQ(std::count(heads.begin(), heads.end(), "01 F3"), 0);
    EXPECT_EQ(std::count(heads.begin(), heads.end(), "01 07"), 0);
    EXPECT_EQ(r.exitCode, 0);
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A field session recorded with DUCTRA_TRACE (a listing, a report that times
// out, a new serial number, a three-block download), replayed from its trace
// by the virtual instrument, and read by quillon-trace.
TEST_F(FirmwareSession, TraceRecordsTheSessionForTheReaderAndTheReplay) {
    WriteImage("kdo.bin", 0x0185, 0x0185, 3 * 256);
    const std::string input = "s\nll\n\ncn\n3\nsn\n2\nABC123\n\ndl\n1\n3\n\nq\n";
    const std::string trace = (dir / "session.trace").string();
    const SessionResult recorded =
        Run(input, QuickBootloader + R"(, {"command": "0x82", "board": 3, "timeout": true}]})",
            {{"DUCTRA_TRACE", trace}});
    ASSERT_EQ(recorded.exitCode, 0);
    const SessionResult replayed = Run(input, "", {{"DUCTRA_SIM_REPLAY", trace}});
    EXPECT_EQ(replayed.output, recorded.output);
    EXPECT_EQ(SentFrames(replayed), SentFrames(recorded));
    EXPECT_EQ(replayed.errors, "");
    EXPECT_EQ(replayed.exitCode, 0);

    const SessionResult exchanges = ReadTrace(dir.string(), {trace});
    const std::string listed = WithoutTimes(exchanges.output);
    EXPECT_NE(listed.find("\n<ms>  1 sonde, Device Report, board 3, payload 2: no answer; "
                          "faults: time-out\n"),
              std::string::npos)
        << listed;
    EXPECT_NE(listed.find("\n<ms>  1 sonde, Set serial number, board 2, payload 22: status 0 "
                          "Success\n"),
              std::string::npos);
    EXPECT_EQ(exchanges.exitCode, 0);
    const std::string record =
        "<utc>  1 sonde, board 2: serial number \"ABC123\": accepted\n"
        "<utc>  1 sonde, board 3: firmware download: 3 of 3 blocks written, 3 verified, old code "
        "version 1.17: completed\n";
    const SessionResult changes = ReadTrace(dir.string(), {"--changes", trace});
    EXPECT_EQ(WithoutTimes(changes.output), record);
    EXPECT_EQ(changes.errors, "");

    // A line of garbage and a last line cut off are named and passed over.
    std::string original;
    std::getline(std::ifstream(trace, std::ios::binary), original, '\0');
    const auto lines = std::count(original.begin(), original.end(), '\n');
    std::string text = original;
    text.insert(text.find('\n') + 1, "garbage\n");
    text.resize(text.size() - 5);
    const std::string damaged = (dir / "damaged.trace").string();
    WriteText(damaged, text);
    const SessionResult reread = ReadTrace(dir.string(), {"--changes", damaged});
    EXPECT_EQ(WithoutTimes(reread.output), record);
    EXPECT_EQ(reread.errors, "quillon-trace: " + damaged + " line 2: not a trace line; skipped\n" +
                                 "quillon-trace: " + damaged + " line " +
                                 std::to_string(lines + 1) + ": cut off (no line end); skipped\n");
    EXPECT_EQ(reread.exitCode, 1);

    // A later format version stops the reader with one line.
    const std::string later = (dir / "later.trace").string();
    WriteText(later, "ductra-trace 2 library=ductra/9.0.0\n1.000 open result=0\n");
    const SessionResult unknown = ReadTrace(dir.string(), {later});
    EXPECT_EQ(unknown.output, "");
    EXPECT_EQ(unknown.errors, "quillon-trace: " + later +
                                  " line 1: trace format version 2; this reader reads version 1\n");
    EXPECT_EQ(unknown.exitCode, 2);

    // A session that goes another way: the first request that differs is
    // reported once and times out, and the session still ends normally.
    const std::vector<std::string> sent = SentFrames(recorded);
    const auto serial = std::find_if(sent.begin(), sent.end(), [](const std::string& frame) {
        return frame.rfind("01 8A", 0) == 0;
    });
    ASSERT_NE(serial, sent.end());
    const std::size_t line = original.find("> " + *serial);
    std::vector<uint8_t> other{2, 0, 'X', 'Y', 'Z'};
    other.resize(22, 0);
    const SessionResult diverged =
        Run("s\nll\n\ncn\n3\nsn\n2\nXYZ\n\nq\n", "", {{"DUCTRA_SIM_REPLAY", trace}});
    EXPECT_EQ(diverged.errors,
              "ductra-sim: replay " + trace + ": request " +
                  std::to_string(serial - sent.begin() + 1) +
                  " differs from the trace: the trace holds " + *serial + " (line " +
                  std::to_string(std::count(original.begin(), original.begin() + line, '\n') + 1) +
                  "), came " + Request(1, 0x8A, other) + "; answered by a time-out\n");
    EXPECT_EQ(diverged.exitCode, 0);

    // An open where the trace holds none is reported as a differing request
    // is, once, and the session still ends normally.
    const std::string headerOnly = (dir / "header-only.trace").string();
    WriteText(headerOnly, original.substr(0, original.find('\n') + 1));
    const SessionResult opened = Run("q\n", "", {{"DUCTRA_SIM_REPLAY", headerOnly}});
    EXPECT_EQ(opened.errors, "ductra-sim: replay " + headerOnly +
                                 ": open 1 differs from the trace: the trace holds no further "
                                 "call, came an open; it succeeds\n");
    EXPECT_EQ(opened.exitCode, 0);

    // A trace that cannot be written: one line on standard error, and the
    // session runs as it does untraced.
    const std::string nowhere = (dir / "no-such-folder" / "x.trace").string();
    const SessionResult unwritable = Run("q\n", "", {{"DUCTRA_TRACE", nowhere}});
    EXPECT_EQ(unwritable.output, Run("q\n", "").output);
    EXPECT_EQ(unwritable.errors.rfind("ductra-sim: cannot write the trace " + nowhere + ": ", 0),
              0u)
        << unwritable.errors;
    EXPECT_EQ(CountOf(unwritable.errors, "\n"), 1);
    EXPECT_EQ(unwritable.exitCode, 0);
}

}  // namespace
