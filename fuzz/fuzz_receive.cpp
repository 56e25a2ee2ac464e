// ReceiveResponse over arbitrary sequences of reads: never writes past the
// response buffer, leaves every byte beyond those received at zero, and
// reports a length only for a frame of six bytes or more.
#include <cstring>

#include "usbpipe/ductra.h"
#include "fuzz/fuzz_support.h"
#include "link/link.h"
#include "support/scripted_pipe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzBytes bytes(data, size);
    FuzzRun run("");
    ResetProgramState();
    ScriptedPipe::Reset();
    LinkQuiet = bytes.Byte() & 1;  // the trace (and its pipe recovery) on or off

    // Each read: one control byte, then its bytes. 0xFF times out, 0xFE reports
    // the pipe not open; below 0x80 it delivers that many bytes, otherwise
    // (control & 0x7F) * 8 bytes, so that reads of up to a whole buffer occur.
    std::size_t delivered = 0;
    while (!bytes.Empty()) {
        const uint8_t control = bytes.Byte();
        if (control == 0xFF) {
            ScriptedPipe::QueueTimeout();
        } else if (control == 0xFE) {
            ScriptedPipe::QueueRead(DUCTRA_RESPONSE_NO_VALID_HANDLER);
        } else {
            const std::string_view chunk =
                bytes.Take(control < 0x80 ? control : (control & 0x7Fu) * 8u);
            ScriptedPipe::QueueRead(0, ScriptedPipe::Bytes(chunk.begin(), chunk.end()));
            delivered += chunk.size();
        }
    }
    std::memset(ResponseBuffer, 0xAA, sizeof ResponseBuffer);
    uint16_t length = 7777;
    const int32_t result = ReceiveResponse(&length, ResponseBuffer);
    if (result == 0) {
        Require(length >= 6 && length <= FrameCapacity && length <= delivered);
        for (std::size_t i = length; i < FrameCapacity; ++i) Require(ResponseBuffer[i] == 0);
    } else {
        Require(length == 7777);
    }
    return 0;
}
