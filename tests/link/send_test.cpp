// Framing and sending a request, with and without the trace.
#include "link_fixture.h"

namespace {

using SendTest = LinkTest;

TEST_F(SendTest, TracedRequestShowsLengthCrcAndEveryByte) {
    ConsoleCapture console;
    DeviceAddress = 1;
    CommandCode = 0x82;
    SetPayloadLength(2);
    RequestPayload[0] = 0;
    RequestPayload[1] = 0;
    SendRequest(RequestPayload, RequestHeader);

    ASSERT_EQ(ScriptedPipe::Sent().size(), 1u);
    EXPECT_EQ(ScriptedPipe::Sent()[0], BytesOf({0x01, 0x82, 0x02, 0x00, 0x00, 0x00, 0x9B, 0xCE}));
    EXPECT_EQ(console.Output(),
              "bytes out = 8, CRC= CE9B\n"
              "01 82 02 00 00 00 9B CE \n"
              "USB Port result= 0, bytes sent= 8\n"
              "\n");
}

TEST_F(SendTest, QuietRequestPrintsNothingAndCopiesPayload) {
    ConsoleCapture console;
    Working();
    CommandCode = 0x8B;
    SetPayloadLength(6);
    const uint8_t payload[6] = {3, 0, 0x78, 0x56, 0x34, 0x12};
    SendRequest(payload, RequestHeader);

    ASSERT_EQ(ScriptedPipe::Sent().size(), 1u);
    const auto& frame = ScriptedPipe::Sent()[0];
    ASSERT_EQ(frame.size(), 12u);
    EXPECT_EQ(ScriptedPipe::Bytes(frame.begin(), frame.begin() + 10),
              BytesOf({0x01, 0x8B, 0x06, 0x00, 3, 0, 0x78, 0x56, 0x34, 0x12}));
    const uint16_t crc = Crc16::Of(std::span<const uint8_t>(frame.data(), 10));
    EXPECT_EQ(frame[10], crc & 0xFF);
    EXPECT_EQ(frame[11], crc >> 8);
    EXPECT_EQ(console.Output(), "");
}

TEST_F(SendTest, EmptyPayloadSendsSixBytesWithoutReadingThePayload) {
    ConsoleCapture console;
    Working();
    CommandCode = 0x09;
    SetPayloadLength(0);
    SendRequest(nullptr, RequestHeader);
    ASSERT_EQ(ScriptedPipe::Sent().size(), 1u);
    EXPECT_EQ(ScriptedPipe::Sent()[0], BytesOf({0x01, 0x09, 0x00, 0x00, 0x25, 0xE8}));
}

TEST_F(SendTest, HeaderIsTakenAsPassedNotFromTheGlobal) {
    ConsoleCapture console;
    Working();
    RequestHeaderRecord header{3, 0x03, {0, 0}};
    SendRequest(RequestPayload, header);
    ASSERT_EQ(ScriptedPipe::Sent().size(), 1u);
    EXPECT_EQ(ScriptedPipe::Sent()[0][0], 3);
    EXPECT_EQ(ScriptedPipe::Sent()[0][1], 0x03);
}

TEST_F(SendTest, LargestPayloadFillsTheFrameAndLargerIsRefused) {
    ConsoleCapture console;
    Working();
    CommandCode = 0xF3;
    for (std::size_t i = 0; i < MaxRequestPayload; ++i) RequestPayload[i] = static_cast<uint8_t>(i);
    SetPayloadLength(static_cast<uint16_t>(MaxRequestPayload));
    SendRequest(RequestPayload, RequestHeader);
    ASSERT_EQ(ScriptedPipe::Sent().size(), 1u);
    EXPECT_EQ(ScriptedPipe::Sent()[0].size(), FrameCapacity);
    EXPECT_EQ(ScriptedPipe::Sent()[0][FrameCapacity - 3], static_cast<uint8_t>(1017));

    SetPayloadLength(static_cast<uint16_t>(MaxRequestPayload + 1));
    SendRequest(RequestPayload, RequestHeader);
    EXPECT_EQ(ScriptedPipe::Sent().size(), 1u);
}

TEST_F(SendTest, FailedSendIsReportedOnlyWhileTracing) {
    ScriptedPipe::SetOpen(false);
    {
        ConsoleCapture console;
        CommandCode = 0x09;
        SendRequest(RequestPayload, RequestHeader);
        const std::string out = console.Output();
        EXPECT_NE(out.find("USB Port result= -5, bytes sent= 6\nUSB port error = "),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
    }
    {
        ConsoleCapture console;
        Working();
        SendRequest(RequestPayload, RequestHeader);
        EXPECT_EQ(console.Output(), "");
        // The caller learns of it from the receive that follows.
        EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer),
                  DUCTRA_RESPONSE_NO_VALID_HANDLER);
    }
}

}  // namespace
