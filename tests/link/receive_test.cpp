// Receiving a response: the reads, the length and CRC checks, the trace and
// the recovery of the pipe after garbage.
#include <algorithm>

#include "link_fixture.h"

namespace {

using ReceiveTest = LinkTest;
using ScriptedPipe::Bytes;

bool ClearedFrom(std::size_t offset) {
    return std::all_of(ResponseBuffer + offset, ResponseBuffer + FrameCapacity,
                       [](uint8_t b) { return b == 0; });
}

TEST_F(ReceiveTest, GoodSixByteResponse) {
    ConsoleCapture console;
    Working();
    ResponseLength = 99;
    ScriptedPipe::QueueResponse(0);
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 0);
    EXPECT_EQ(ResponseLength, 6);
    EXPECT_EQ(ResponseStatus, 0);
    EXPECT_EQ(console.Output(), "");
    EXPECT_EQ(ScriptedPipe::LastReceiveCapacity(), 1024);
    EXPECT_EQ(ScriptedPipe::LastReceiveTimeout(), 2000);
}

TEST_F(ReceiveTest, TracedGoodResponseWithStatus) {
    ConsoleCapture console;
    const Bytes frame = ScriptedPipe::ResponseFrame(7, {0xAA});
    ScriptedPipe::QueueRead(0, frame);
    uint16_t length = 0;
    EXPECT_EQ(ReceiveResponse(&length, ResponseBuffer), 0);
    EXPECT_EQ(length, 7);
    const uint16_t crc = Crc16::Of(std::span<const uint8_t>(frame.data(), 5));
    char crcText[8];
    std::snprintf(crcText, sizeof crcText, "%.4X", crc);
    EXPECT_EQ(console.Output(), std::string("Got 7 bytes in first read.\n\n"
                                            "\nbytes read = 7 : CRC = 0x") +
                                    crcText +
                                    " \n"
                                    " TAVI_rec   7: Parameter not available, don't know what "
                                    "this is.\n");
    EXPECT_EQ(ScriptedPipe::LastReceiveTimeout(), 0);
}

// Split inside the payload, and with only the two CRC bytes left over.
TEST_F(ReceiveTest, SecondReadCompletesTheFrame) {
    Bytes payload(20);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i + 1);
    const Bytes frame = ScriptedPipe::ResponseFrame(0, payload);
    for (const int split : {14, 24}) {
        SCOPED_TRACE(split);
        ConsoleCapture console;
        Working();
        ScriptedPipe::QueueRead(0, Bytes(frame.begin(), frame.begin() + split));
        ScriptedPipe::QueueRead(0, Bytes(frame.begin() + split, frame.end()));
        EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 0);
        EXPECT_EQ(ResponseLength, 26);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), ResponseBuffer));
        EXPECT_EQ(ScriptedPipe::LastReceiveCapacity(), 1024 - split);
        EXPECT_EQ(console.Output(), "");
        EXPECT_TRUE(ClearedFrom(26));
    }
}

TEST_F(ReceiveTest, SecondReadTimingOutLeavesTheLengthAlone) {
    ConsoleCapture console;
    Working();
    ResponseLength = 42;
    const Bytes frame = ScriptedPipe::ResponseFrame(0, Bytes(20, 0x55));
    ScriptedPipe::QueueRead(0, Bytes(frame.begin(), frame.begin() + 14));
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(ResponseLength, 42);
    EXPECT_EQ(console.Output(), "");
}

TEST_F(ReceiveTest, TracedReadsThatFailShowTheirCounts) {
    {
        ConsoleCapture console;
        EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
        EXPECT_EQ(console.Output(), "Got 0 bytes in first read.\n");
    }
    {
        ConsoleCapture console;
        ScriptedPipe::QueueRead(0, {0x00, 0x00, 0x04});
        EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
        EXPECT_EQ(console.Output(),
                  "Got 3 bytes in first read.\nGot 0 bytes in the second read.\n");
    }
}

TEST_F(ReceiveTest, CrcMismatchIsShownWhateverTheTraceButKeepsTheData) {
    ConsoleCapture console;
    Working();
    ResponseLength = 0;
    Bytes frame = ScriptedPipe::ResponseFrame(0, {0x11, 0x22});
    frame[6] ^= 0xFF;
    frame[7] ^= 0xFF;
    const uint16_t computed = Crc16::Of(std::span<const uint8_t>(frame.data(), 6));
    const uint16_t received = static_cast<uint16_t>(frame[6] | (frame[7] << 8));
    ScriptedPipe::QueueRead(0, frame);
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 0);
    EXPECT_EQ(ResponseLength, 8);
    EXPECT_EQ(ResponseBuffer[4], 0x11);
    EXPECT_EQ(ResponseBuffer[5], 0x22);
    char r[8], c[8];
    std::snprintf(r, sizeof r, "%.4X", received);
    std::snprintf(c, sizeof c, "%.4X", computed);
    EXPECT_EQ(console.Output(), MismatchLines(r, c));
}

TEST_F(ReceiveTest, ThreePlusOneBytesIsAShortFrame) {
    ConsoleCapture console;
    Working();
    ResponseLength = 77;
    ScriptedPipe::QueueRead(0, {0x00, 0x00, 0x00});
    ScriptedPipe::QueueRead(0, {0x00});
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 1);
    EXPECT_EQ(ResponseLength, 77);
    // The last two bytes (0000) agree with the 0000 a short frame is held to.
    EXPECT_EQ(console.Output(), "");
    EXPECT_TRUE(ScriptedPipe::IsOpen());
    EXPECT_EQ(ScriptedPipe::CloseCalls(), 0);
}

TEST_F(ReceiveTest, ShortFrameWithNonZeroTailShowsTheMismatch) {
    ConsoleCapture console;
    Working();
    ScriptedPipe::QueueRead(0, {0x00, 0x05, 0x00});
    ScriptedPipe::QueueRead(0, {0x12});
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 1);
    EXPECT_EQ(console.Output(), MismatchLines("1200", "0000"));
}

TEST_F(ReceiveTest, TwoEmptyReadsAreAShortFrame) {
    ConsoleCapture console;
    Working();
    ScriptedPipe::QueueRead(0, {});
    ScriptedPipe::QueueRead(0, {});
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 1);
    EXPECT_EQ(ScriptedPipe::PendingReads(), 0u);
    EXPECT_EQ(console.Output(), "");
}

TEST_F(ReceiveTest, ShortFrameRecoversThePipeOnlyWhileTracing) {
    {
        ConsoleCapture console;
        ScriptedPipe::QueueRead(0, {0x00});
        ScriptedPipe::QueueRead(0, {});
        const uint64_t before = FakeClock::Now();
        EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 1);
        EXPECT_GE(FakeClock::Now() - before, 100u);
        EXPECT_EQ(ScriptedPipe::CloseCalls(), 1);
        EXPECT_EQ(ScriptedPipe::OpenCalls(), 1);
        const std::string out = console.Output();
        const std::string head = "Got 1 bytes in first read.\nGot 0 bytes in the second read.\n\n";
        EXPECT_EQ(out.substr(0, head.size()), head);
        const std::string tail =
            "\n*** bogus, ignore ***\n"
            "Closing the USB port, it might not be working.\n"
            "Waiting on reset... Opening USB port.\n";
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
    {
        ConsoleCapture console;
        Working();
        ScriptedPipe::QueueRead(0, {0x00});
        ScriptedPipe::QueueRead(0, {});
        EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 1);
        EXPECT_EQ(ScriptedPipe::CloseCalls(), 1);
        EXPECT_EQ(console.Output(), "");
    }
}

TEST_F(ReceiveTest, BufferIsClearedBeyondTheBytesReceived) {
    ConsoleCapture console;
    Working();
    ScriptedPipe::QueueResponse(0, Bytes(40, 0xEE));
    ASSERT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 0);
    ScriptedPipe::QueueResponse(3);
    ASSERT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 0);
    EXPECT_EQ(ResponseLength, 6);
    EXPECT_EQ(ResponseStatus, 3);
    EXPECT_TRUE(ClearedFrom(6));
    // A failed receive leaves nothing of the previous frame either.
    ScriptedPipe::QueueTimeout();
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(ResponseStatus, 0);
    EXPECT_TRUE(ClearedFrom(0));
}

TEST_F(ReceiveTest, OversizedResponseIsNeverStoredPastTheBuffer) {
    ConsoleCapture console;
    Working();
    // The header promises 2000 payload bytes; one transfer fills the buffer.
    Bytes big(1500, 0x5A);
    big[0] = 0;
    big[1] = 0;
    big[2] = 2000 & 0xFF;
    big[3] = 2000 >> 8;
    ScriptedPipe::QueueRead(0, big);
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), 0);
    EXPECT_EQ(ResponseLength, 1024);
    // No second read into a full buffer: the rest stays in the pipe.
    EXPECT_EQ(ScriptedPipe::PendingReads(), 1u);
    EXPECT_EQ(console.Output(), MismatchLines("5A5A", [] {
                  char c[8];
                  std::snprintf(c, sizeof c, "%.4X",
                                Crc16::Of(std::span<const uint8_t>(ResponseBuffer, 1022)));
                  return std::string(c);
              }()));
}

TEST_F(ReceiveTest, ClosedPipeFailsAtOnce) {
    ConsoleCapture console;
    Working();
    ScriptedPipe::SetOpen(false);
    ResponseLength = 5;
    EXPECT_EQ(ReceiveResponse(&ResponseLength, ResponseBuffer), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(ResponseLength, 5);
}

}  // namespace
