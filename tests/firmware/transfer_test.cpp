// The 'dl' command end to end against a scripted bootloader: the requests on
// the wire, the waits, the progress, verification, failures and recovery.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "bootloader_fixture.h"
#include "firmware/firmware.h"
#include "firmware/image.h"
#include "link/frame.h"
#include "link/link_state.h"
#include "support/console_capture.h"
#include "support/scripted_pipe.h"

namespace firmware_test {
namespace {

Bytes Frame(uint8_t command, const Bytes& payload) {
    std::array<uint8_t, FrameCapacity> frame{};
    const std::size_t length = BuildFrame(1, command, payload, frame);
    return Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
}

Bytes BlockRequest(uint16_t number, const Bytes& image, std::size_t blockSize) {
    Bytes payload(4 + blockSize);
    payload[0] = 4;
    payload[2] = uint8_t(number & 0xFF);
    payload[3] = uint8_t(number >> 8);
    const std::size_t from = 4 + (number - 1) * blockSize;
    for (std::size_t i = 0; i < blockSize; ++i) payload[4 + i] = image.at(from + i);
    return payload;
}

int CountOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

const std::string Banner =
    "*****************************************************\n"
    "BE VERY CAREFUL THAT YOU SELECT THE CORRECT FIRMWARE.\n"
    "THIS PROGRAM WILL NOT CHECK WHAT YOU SELECT!         \n"
    "*****************************************************\n";

const std::string Recovery =
    "  Closing the USB port, it might not be working.\n"
    "\n*** Waiting on reset ***\n"
    "  Opening USB port.\n";

class DownloadTest : public FirmwareTest {
  protected:
    // Runs 'dl' choosing entry 1 and device 4; true when it ended by itself
    // rather than by running out of typed answers.
    bool Run(const std::string& input = "1\n4\n\n") {
        FakeClock clock;
        ConsoleCapture console(input);
        bool ended = true;
        try {
            DownloadFirmware();
        } catch (const EndOfInputReached&) {
            ended = false;
        }
        output = console.Output();
        return ended;
    }
    std::string output;
};

TEST_F(DownloadTest, ThreeBlockImageGoesOutBlockByBlockAndCompletes) {
    const Bytes image = WriteImage("a.bin", 0x0185, 3 * 512);
    ASSERT_TRUE(Run());

    const std::string path = EntryPath("a.bin");
    EXPECT_EQ(output,
              "\nSensor Firmware Download\n\n"
              "These are your current options, you may replace an older version in the firmware "
              "folder with a newer one\n"
              "if this doesn't have the most current version then use Quellis to update it after "
              "you install this one.\n\n"
              "1 " +
                  path + "\n" + Banner +
                  "\nEnter the number of the firmware you want: "
                  "\nYou chose " +
                  path +
                  " \n"
                  "  New code version: 3.5\n"
                  "What device? "
                  "  Old code version: 2.2\n"
                  "*** Erase FLASH ***\n"
                  "*** writing packets out and verifying them ***\n"
                  "\r|(0%)\r/(33%)\r-(66%)\n"
                  "*** Resetting to run the new code. ***\n"
                  "  Waiting on restart...   Firmware download successful.\n"
                  "Press return ");

    // 1536 = 3 * 512 data bytes.
    const std::vector<Bytes> expected{
        Frame(0x08, {}),
        Frame(0xF0, {4, 0}),
        Frame(0xF1, {4, 0, 0x00, 0x06, 0, 0}),
        Frame(0xF4, {4, 0}),
        Frame(0xF3, BlockRequest(1, image, 512)),
        Frame(0xF2, {4, 0, 1, 0}),
        Frame(0xF3, BlockRequest(2, image, 512)),
        Frame(0xF2, {4, 0, 2, 0}),
        Frame(0xF3, BlockRequest(3, image, 512)),
        Frame(0xF2, {4, 0, 3, 0}),
        Frame(0x81, {4, 0}),
        Frame(0x07, {}),
    };
    EXPECT_EQ(ScriptedPipe::Sent(), expected);
    EXPECT_EQ(DeviceAddress, 1);
    EXPECT_EQ(CurrentImage.file, nullptr);
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 0);
}

TEST_F(DownloadTest, WaitsForTheBootloaderTheEraseAndTheRestart) {
    WriteImage("a.bin", 0x0185, 512);
    device.startWait = 2500;
    device.eraseMs = 700;
    ASSERT_TRUE(Run());
    EXPECT_EQ(output.find("Don't believe"), std::string::npos);
    EXPECT_EQ(output.find("NFW"), std::string::npos);

    // Each wait lies between two requests; the fake clock moves 1 ms per read.
    const auto at = [&](uint8_t command) { return device.Requests(command).at(0).at; };
    EXPECT_GE(at(0xF1) - at(0xF0), 2500u);
    EXPECT_LT(at(0xF1) - at(0xF0), 2600u);
    EXPECT_GE(at(0xF3) - at(0xF4), 700u);
    EXPECT_LT(at(0xF3) - at(0xF4), 800u);
    EXPECT_GE(at(0x07) - at(0x81), 2500u);
    EXPECT_LT(at(0x07) - at(0x81), 2600u);
}

struct StartWaitCase {
    uint16_t reported;
    uint64_t used;
    const char* message;  // nullptr: silent
};

class StartWaitTest : public DownloadTest, public ::testing::WithParamInterface<StartWaitCase> {};

TEST_P(StartWaitTest, ClampsToOneToTenSeconds) {
    const StartWaitCase c = GetParam();
    WriteImage("a.bin", 0x0185, 512);  // one block: the download reaches the restart
    device.startWait = c.reported;
    ASSERT_TRUE(Run());
    if (c.message != nullptr) {
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
    } else {
        EXPECT_EQ(output.find("Don't believe"), std::string::npos);
        EXPECT_EQ(output.find("NFW"), std::string::npos);
    }
    const auto at = [&](uint8_t command) { return device.Requests(command).at(0).at; };
    EXPECT_GE(at(0xF1) - at(0xF0), c.used);
    EXPECT_LT(at(0xF1) - at(0xF0), c.used + 100);
    // The same wait is given to the restart.
    EXPECT_GE(at(0x07) - at(0x81), c.used);
    EXPECT_LT(at(0x07) - at(0x81), c.used + 100);
}

INSTANTIATE_TEST_SUITE_P(
    Reported, StartWaitTest,
    ::testing::Values(StartWaitCase{0, 1000, "  Don't believe 0, waiting 1000ms for reset\n"},
                      StartWaitCase{999, 1000, "  Don't believe 999, waiting 1000ms for reset\n"},
                      StartWaitCase{1000, 1000, nullptr}, StartWaitCase{2500, 2500, nullptr},
                      StartWaitCase{10000, 10000, nullptr},
                      StartWaitCase{65535, 10000,
                                    "  65535 : NFW, waiting 10000 milliseconds to start\n"}));

TEST_F(DownloadTest, BlockSizeAboveFiveHundredTwelveIsCapped) {
    const Bytes image = WriteImage("a.bin", 0x0185, 2 * 512);
    device.blockSize = 1024;
    ASSERT_TRUE(Run());
    EXPECT_NE(output.find("  Can't deal with block size 1024, dropping to 512\n"),
              std::string::npos);
    const auto writes = device.Requests(0xF3);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].payload, BlockRequest(1, image, 512));
    EXPECT_EQ(writes[1].payload, BlockRequest(2, image, 512));
    EXPECT_NE(output.find("  Firmware download successful.\n"), std::string::npos);
}

TEST_F(DownloadTest, SmallerBlockSizeIsUsedAsReportedAndProgressNeverReachesAHundred) {
    const Bytes image = WriteImage("a.bin", 0x0185, 4 * 64);
    device.blockSize = 64;
    ASSERT_TRUE(Run());
    EXPECT_EQ(output.find("Can't deal"), std::string::npos);
    EXPECT_NE(output.find("\r|(0%)\r/(25%)\r-(50%)\r\\(75%)\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("100%"), std::string::npos);
    const auto writes = device.Requests(0xF3);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[3].payload, BlockRequest(4, image, 64));
    EXPECT_EQ(device.Requests(0xF1).at(0).payload, (Bytes{4, 0, 0x00, 0x01, 0, 0}));
}

TEST_F(DownloadTest, EveryFourthReadBackByteIsNotCompared) {
    WriteImage("a.bin", 0x0185, 2 * 512);
    device.changedReadBackByte = 3;
    ASSERT_TRUE(Run());
    EXPECT_NE(output.find("  Firmware download successful.\n"), std::string::npos);
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 0);
}

TEST_F(DownloadTest, ReadBackMismatchDumpsBothBlocksAndRecovers) {
    const Bytes image = WriteImage("a.bin", 0x0185, 2 * 20);
    device.blockSize = 20;
    device.changedReadBackByte = 5;
    ASSERT_TRUE(Run("1\n4\n"));  // no key is asked for after a recovery

    std::string sent;
    std::string received;
    for (std::size_t i = 0; i < 20; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%.2X ", image[4 + i]);
        sent += hex;
        std::snprintf(hex, sizeof hex, "%.2X ", i == 5 ? image[4 + i] ^ 0xFF : image[4 + i]);
        received += hex;
        if (i == 15) {
            sent += "\n";
            received += "\n";
        }
    }
    const std::string expected =
        "*** writing packets out and verifying them ***\n"
        "  Block read does not match block written for block 0, byte 5 FAILED\n"
        "  sent: \n" +
        sent + "\n" + "received: \n" + received + "\n" +
        "\n"
        "TAVI Error: ";
    EXPECT_NE(output.find(expected), std::string::npos) << output;
    EXPECT_NE(output.find(Recovery), std::string::npos);
    EXPECT_EQ(output.find("successful"), std::string::npos);
    EXPECT_EQ(output.find("Press return"), std::string::npos);
    EXPECT_EQ(device.Requests(0xF3).size(), 1u);
    EXPECT_TRUE(device.Requests(0x81).empty());
    EXPECT_TRUE(device.Requests(0x07).empty());
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 1);
    EXPECT_EQ(ScriptedPipe::OpenCalls(), 1);
    EXPECT_EQ(CurrentImage.file, nullptr);
}

TEST_F(DownloadTest, RecoveryWaitsTheStartWaitWithThePipeClosed) {
    WriteImage("a.bin", 0x0185, 512);
    device.startWait = 4000;
    device.statuses[0xF3] = {9};
    uint64_t lastSentAt = 0;
    ScriptedPipe::SetResponder([&](const Bytes& frame) {
        device.Answer(frame);
        lastSentAt = FakeClock::Now();
    });
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 1);
    EXPECT_EQ(ScriptedPipe::OpenCalls(), 1);
    EXPECT_TRUE(ScriptedPipe::IsOpen());
    EXPECT_GE(FakeClock::Now() - lastSentAt, 4000u);
}

TEST_F(DownloadTest, ReadBackShorterThanTheBlockIsAMismatch) {
    const Bytes image = WriteImage("a.bin", 0x0185, 512);
    // The leading four bytes and the block but its last byte, all correct:
    // the missing byte sits at a position that is never compared, yet it is
    // missing, and nothing past the answer may stand in for it.
    Bytes shortAnswer{0, 0, 1, 0};
    shortAnswer.insert(shortAnswer.end(), image.begin() + 4, image.begin() + 4 + 511);
    device.payloadOverride[0xF2] = shortAnswer;
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(
        output.find("  Block read does not match block written for block 0, byte 511 FAILED\n"),
        std::string::npos)
        << output;
    EXPECT_NE(output.find(Recovery), std::string::npos);
    EXPECT_EQ(output.find("successful"), std::string::npos);
}

TEST_F(DownloadTest, ReadBackFailingOnceIsRetriedOnce) {
    WriteImage("a.bin", 0x0185, 2 * 512);
    device.silences[0xF2] = 1;
    ASSERT_TRUE(Run());
    EXPECT_NE(output.find("\n$\r|(0%)"), std::string::npos) << output;
    EXPECT_EQ(CountOf(output, "$"), 1);
    EXPECT_EQ(device.Requests(0xF2).size(), 3u);
    EXPECT_EQ(device.Requests(0xF2)[0].payload, device.Requests(0xF2)[1].payload);
    EXPECT_NE(output.find("  Firmware download successful.\n"), std::string::npos);
}

TEST_F(DownloadTest, ReadBackFailingTwiceEndsInRecovery) {
    WriteImage("a.bin", 0x0185, 2 * 512);
    device.statuses[0xF2] = {0, 6, 6};  // block 1 reads back; block 2 fails twice
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("$  We got an error reading block 1, count 1024 FAILED\nTAVI Error: "),
              std::string::npos)
        << output;
    EXPECT_EQ(CountOf(output, "$"), 1);
    EXPECT_NE(output.find(Recovery), std::string::npos);
    EXPECT_EQ(output.find("successful"), std::string::npos);
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 1);
}

TEST_F(DownloadTest, WriteRefusedByTheDeviceEndsInRecovery) {
    WriteImage("a.bin", 0x0185, 3 * 512);
    device.statuses[0xF3] = {0, 5};
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("  We got an error writing block= 1,  byte count= 1024 FAILED\n"
                          "TAVI Error: "),
              std::string::npos)
        << output;
    EXPECT_EQ(CountOf(output, "TAVI Error: "), 2);  // the write, then the recovery
    EXPECT_NE(output.find(Recovery), std::string::npos);
    EXPECT_EQ(output.find("successful"), std::string::npos);
    EXPECT_EQ(device.Requests(0xF3).size(), 2u);
    EXPECT_EQ(device.Requests(0xF2).size(), 1u);
    EXPECT_TRUE(device.Requests(0x07).empty());
    EXPECT_EQ(CurrentImage.file, nullptr);
}

TEST_F(DownloadTest, WriteTimingOutEndsInRecovery) {
    WriteImage("a.bin", 0x0185, 512);
    device.silences[0xF3] = 1;
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("  We got an error writing block= 0,  byte count= 512 FAILED\n"),
              std::string::npos);
    EXPECT_NE(output.find(Recovery), std::string::npos);
    EXPECT_EQ(output.find("successful"), std::string::npos);
}

// Failures before the flash is written end the command at once: no recovery,
// no key asked for, the image closed.
class EarlyFailureTest : public DownloadTest {
  protected:
    void ExpectEndedBefore(uint8_t command) {
        EXPECT_TRUE(device.Requests(command).empty());
        EXPECT_TRUE(device.Requests(0xF3).empty());
        EXPECT_TRUE(device.Requests(0x07).empty());
        EXPECT_EQ(ScriptedPipe::CloseCalls(), 0);
        EXPECT_EQ(output.find("successful"), std::string::npos);
        EXPECT_EQ(output.find("Press return"), std::string::npos);
        EXPECT_EQ(CurrentImage.file, nullptr);
    }
};

TEST_F(EarlyFailureTest, BootloaderEnterRefused) {
    WriteImage("a.bin", 0x0185, 512);
    device.statuses[0xF0] = {3};
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("What device? TAVI Error: "), std::string::npos) << output;
    ExpectEndedBefore(0xF1);
}

TEST_F(EarlyFailureTest, BootloaderEnterAnswerTooShort) {
    WriteImage("a.bin", 0x0185, 512);
    device.payloadOverride[0xF0] = {0x10};
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("FAILED"), std::string::npos);
    ExpectEndedBefore(0xF1);
}

TEST_F(EarlyFailureTest, AttributesRefusedForSize) {
    WriteImage("a.bin", 0x0185, 512);
    device.statuses[0xF1] = {4};
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("TAVI Error: "), std::string::npos);
    EXPECT_NE(output.find("  File size is too big\n"), std::string::npos);
    EXPECT_EQ(output.find("Old code version"), std::string::npos);
    ExpectEndedBefore(0xF4);
}

TEST_F(EarlyFailureTest, AttributesRefusedForAnotherReason) {
    WriteImage("a.bin", 0x0185, 512);
    device.statuses[0xF1] = {7};
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("TAVI Error: "), std::string::npos);
    EXPECT_EQ(output.find("File size is too big"), std::string::npos);
    ExpectEndedBefore(0xF4);
}

// Two bytes, or three: the block size is never read from the CRC behind them.
TEST_F(EarlyFailureTest, AttributesAnswerWithoutBlockSize) {
    WriteImage("a.bin", 0x0185, 512);
    device.payloadOverride[0xF1] = {0x85, 0x01};
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_EQ(output.find("Old code version"), std::string::npos);
    EXPECT_NE(output.find("  The device's answer holds 2 bytes where 4 are needed FAILED\n"),
              std::string::npos)
        << output;
    ExpectEndedBefore(0xF4);
    device.payloadOverride[0xF1] = {0x85, 0x01, 0x02};
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("  The device's answer holds 3 bytes where 4 are needed FAILED\n"),
              std::string::npos)
        << output;
    ExpectEndedBefore(0xF4);
}

TEST_F(EarlyFailureTest, BlockSizeZeroWritesNothing) {
    WriteImage("a.bin", 0x0185, 512);
    device.blockSize = 0;
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(
        output.find("  Old code version: 2.2\n"
                    "  The device reports a block size of 0, nothing can be written FAILED\n"),
        std::string::npos)
        << output;
    ExpectEndedBefore(0xF4);
}

// Erasing for an image with no whole block would leave the board without
// code and nothing written.
TEST_F(EarlyFailureTest, ImageShorterThanOneBlockIsRefusedBeforeTheErase) {
    WriteImage("a.bin", 0x0185, 511);
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("  Old code version: 2.2\n"
                          "  The image holds 511 data bytes, less than one block of 512 bytes, "
                          "nothing can be written FAILED\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(device.Commands(), (std::vector<uint8_t>{0x08, 0xF0, 0xF1}));
    ExpectEndedBefore(0xF4);
}

TEST_F(EarlyFailureTest, EraseRefused) {
    WriteImage("a.bin", 0x0185, 512);
    device.statuses[0xF4] = {2};
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("*** Erase FLASH ***\n  FAILED, result= 0\nTAVI Error: "),
              std::string::npos)
        << output;
    ExpectEndedBefore(0xF3);
}

TEST_F(EarlyFailureTest, EraseTimingOut) {
    WriteImage("a.bin", 0x0185, 512);
    device.silences[0xF4] = 1;
    ASSERT_TRUE(Run("1\n4\n"));
    EXPECT_NE(output.find("*** Erase FLASH ***\n  FAILED, result= -1\n"), std::string::npos)
        << output;
    ExpectEndedBefore(0xF3);
}

TEST_F(EarlyFailureTest, ImageWithoutAWholeHeaderIsRefusedBeforeAnythingIsSent) {
    WriteRaw("tiny.bin", {0x01, 0x02, 0x03});
    ASSERT_TRUE(Run("1\n"));
    EXPECT_NE(output.find("  The image file is shorter than its 4-byte header, it cannot be "
                          "downloaded.\n"),
              std::string::npos);
    EXPECT_TRUE(ScriptedPipe::Sent().empty());
    EXPECT_EQ(output.find("What device?"), std::string::npos);
    EXPECT_EQ(CurrentImage.file, nullptr);
}

TEST_F(EarlyFailureTest, SubFolderChosenIsNoSuchFile) {
    std::filesystem::create_directory("firmware/older");
    ASSERT_TRUE(Run("1\n"));
    EXPECT_NE(output.find("\nYou chose " + EntryPath("older") + " \nNo such file, try again.\n"),
              std::string::npos)
        << output;
    EXPECT_TRUE(ScriptedPipe::Sent().empty());
    EXPECT_EQ(CurrentImage.file, nullptr);
}

TEST_F(DownloadTest, DeviceNumberMustBeANumberFromOneTo255) {
    WriteImage("a.bin", 0x0185, 100);
    ASSERT_TRUE(Run("1\nabc\n0\n256\n-3\n7\n\n"));
    EXPECT_EQ(CountOf(output, "What device? "), 5);
    EXPECT_EQ(device.Requests(0xF0).at(0).payload, (Bytes{7, 0}));
    for (const SeenRequest& request : device.seen) EXPECT_EQ(request.address, 1);
}

TEST_F(DownloadTest, EndOfInputAtTheDeviceQuestionSendsNothing) {
    WriteImage("a.bin", 0x0185, 100);
    EXPECT_FALSE(Run("1\n"));
    EXPECT_TRUE(ScriptedPipe::Sent().empty());
    CloseFirmwareImage();  // the program would have exited here
}

}  // namespace
}  // namespace firmware_test
