// The link's way from program load to its working settings: the open at
// start-up, the drain of stale frames, and the settings the menus start with.
#include "link/link_fixture.h"
#include "shell/shell.h"

namespace {

using StartUpLinkTest = LinkTest;
using ScriptedPipe::Bytes;

std::string AfterZoneLines(const std::string& out) {
    const std::string marker = "UTCbias(minutes)= ";
    const std::size_t at = out.find(marker);
    if (at == std::string::npos) return "<no time-zone lines>";
    return out.substr(out.find('\n', at) + 1);
}

void ExpectWorkingSettings() {
    EXPECT_EQ(DeviceAddress, 1);
    EXPECT_EQ(ReceiveTimeout, 2000);
    EXPECT_EQ(LinkQuiet, 1);
}

TEST_F(StartUpLinkTest, FailedOpenSkipsTheDrain) {
    ConsoleCapture console;
    ScriptedPipe::SetOpenResult(DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    ScriptedPipe::SetOpen(false);
    ScriptedPipe::QueueResponse(0);
    StartUp();
    const std::string out = console.Output();
    EXPECT_EQ(out.rfind("tzInfo.Bias(minutes)= ", 0), 0u) << out;
    EXPECT_EQ(AfterZoneLines(out), "Failed to init USB port!\nTest TAVI channel\n");
    EXPECT_EQ(ScriptedPipe::PendingReads(), 1u);
    EXPECT_EQ(LastResult, DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    ExpectWorkingSettings();
}

TEST_F(StartUpLinkTest, EmptyPipeIsDrainedWithOneReceive) {
    ConsoleCapture console;
    StartUp();
    EXPECT_EQ(ScriptedPipe::OpenCalls(), 1);
    EXPECT_EQ(ScriptedPipe::LastReceiveTimeout(), 0);
    EXPECT_EQ(AfterZoneLines(console.Output()), "Got 0 bytes in first read.\nTest TAVI channel\n");
    EXPECT_EQ(LastResult, DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_TRUE(ScriptedPipe::Sent().empty());
    ExpectWorkingSettings();
}

TEST_F(StartUpLinkTest, StaleFramesAreReadAndTraced) {
    ConsoleCapture console;
    ScriptedPipe::QueueRead(0, {0x00, 0x00, 0x00, 0x00, 0xC0, 0x5A});
    ScriptedPipe::QueueResponse(0, {0x01});
    StartUp();
    EXPECT_EQ(
        AfterZoneLines(console.Output()),
        "Got 6 bytes in first read.\n\n"
        "\nbytes read = 6 : CRC = 0x0000 \n"
        "\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n"
        "Response corrupt, CRC mismatch: 5AC0 != 0000\n"
        "\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n"
        "Got 7 bytes in first read.\n\n"
        "\nbytes read = 7 : CRC = 0x" +
            [] {
                char c[8];
                const Bytes f = ScriptedPipe::ResponseFrame(0, {0x01});
                std::snprintf(c, sizeof c, "%.4X",
                              Crc16::Of(std::span<const uint8_t>(f.data(), 5)));
                return std::string(c);
            }() +
            " \n"
            "Got 0 bytes in first read.\n"
            "Test TAVI channel\n");
    EXPECT_EQ(ScriptedPipe::PendingReads(), 0u);
    EXPECT_EQ(ResponseLength, 7);
    ExpectWorkingSettings();
}

TEST_F(StartUpLinkTest, FragmentEndsTheDrainAndReopensThePipe) {
    ConsoleCapture console;
    ScriptedPipe::QueueRead(0, {0x00, 0x00});
    ScriptedPipe::QueueRead(0, {});
    ScriptedPipe::QueueResponse(0);  // still waiting after the drain
    StartUp();
    const std::string out = AfterZoneLines(console.Output());
    EXPECT_EQ(out.rfind("Got 2 bytes in first read.\nGot 0 bytes in the second read.\n\n", 0), 0u)
        << out;
    const std::string tail =
        "\n*** bogus, ignore ***\n"
        "Closing the USB port, it might not be working.\n"
        "Waiting on reset... Opening USB port.\n"
        "Test TAVI channel\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(LastResult, 1);
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 1);
    EXPECT_EQ(ScriptedPipe::OpenCalls(), 2);
    EXPECT_EQ(ScriptedPipe::PendingReads(), 1u);
    ExpectWorkingSettings();
}

}  // namespace
