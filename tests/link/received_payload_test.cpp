// The payload a decoder may read: what the header promises, never more than
// arrived.
#include <gtest/gtest.h>

#include "link/link.h"
#include "support/console_capture.h"
#include "support/scripted_pipe.h"

namespace {

class ReceivedPayloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLinkState();
        ScriptedPipe::Reset();
        LinkQuiet = 1;
    }

    // Receives the given bytes as one transfer; returns the length output.
    uint16_t Receive(const ScriptedPipe::Bytes& bytes) {
        ConsoleCapture console;
        ScriptedPipe::QueueRead(0, bytes);
        ScriptedPipe::QueueRead(0, {});  // a second read, if any, brings nothing
        uint16_t length = 0;
        ReceiveResponse(&length, ResponseBuffer);
        return length;
    }
};

TEST_F(ReceivedPayloadTest, WholeFrameGivesItsPayload) {
    const uint16_t length = Receive(ScriptedPipe::ResponseFrame(0, {1, 2, 3}));
    const auto payload = ReceivedPayload(length);
    ASSERT_EQ(payload.size(), 3u);
    EXPECT_EQ(payload[0], 1);
    EXPECT_EQ(payload[2], 3);
}

TEST_F(ReceivedPayloadTest, ExtraBytesBeyondThePromiseAreNotPayload) {
    ScriptedPipe::Bytes frame = ScriptedPipe::ResponseFrame(0, {1, 2});
    frame.push_back(0xAA);
    frame.push_back(0x55);
    EXPECT_EQ(ReceivedPayload(Receive(frame)).size(), 2u);
}

TEST_F(ReceivedPayloadTest, FrameEndingEarlyGivesOnlyWhatArrived) {
    ScriptedPipe::Bytes frame = ScriptedPipe::ResponseFrame(0, ScriptedPipe::Bytes(20, 7));
    frame.resize(12);  // header, 6 payload bytes, and 2 bytes taken as the CRC
    EXPECT_EQ(ReceivedPayload(Receive(frame)).size(), 6u);
}

TEST_F(ReceivedPayloadTest, NoFrameGivesNoPayload) {
    EXPECT_TRUE(ReceivedPayload(0).empty());
    EXPECT_TRUE(ReceivedPayload(5).empty());
    EXPECT_EQ(ReceivedPayload(5).data(), ResponseBuffer + ResponsePayloadOffset);
    EXPECT_EQ(ReceivedPayload(60000).size(), 0u) << "the cleared buffer promises nothing";
}

}  // namespace
