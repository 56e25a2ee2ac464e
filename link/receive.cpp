// Receiving one response frame: at most two reads, then the length and CRC
// checks. The buffer is always the 1024-byte ResponseBuffer.
#include <cstring>

#include "usbpipe/ductra.h"
#include "link/link.h"
#include "protocol/status.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"

namespace {

constexpr char Bangs[] = "\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";

// One DuctraReceive into buffer with room for capacity bytes. The count is
// bounded by the room asked for, so a misbehaving pipe cannot make the
// checks below look past the bytes that may really have arrived.
int32_t ReadOnce(uint8_t* buffer, std::size_t capacity, uint32_t& count) {
    count = 0;
    if (!RequestAllowed()) return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    const int32_t result =
        DuctraReceive(buffer, static_cast<int32_t>(capacity), ReceiveTimeout, &count);
    if (result != 0) {
        count = 0;
        ObservePipe(PipeCall::Receive, result);
        return result;
    }
    if (count > capacity) count = static_cast<uint32_t>(capacity);
    ObservePipe(PipeCall::Receive, 0, buffer, count);
    return 0;
}

// Compares the last two bytes received with the computed CRC; a mismatch is
// always shown, whatever the trace setting, and never fails the receive.
void CompareCrc(const uint8_t* buffer, std::size_t total, uint16_t computed) {
    const uint16_t received = ReadLe16(buffer + total - FrameCrcSize);
    if (received == computed) return;
    ConsolePrint("%s", Bangs);
    ConsolePrint("Response corrupt, CRC mismatch: %.4X != %.4X\n", received, computed);
    ConsolePrint("%s", Bangs);
}

}  // namespace

int32_t ReceiveResponse(uint16_t* length, uint8_t* buffer) {
    Crc16 crc;
    std::memset(buffer, 0, FrameCapacity);

    uint32_t first = 0;
    const int32_t firstResult = ReadOnce(buffer, FrameCapacity, first);
    if (LinkQuiet == 0) ConsolePrint("Got %d bytes in first read.\n", static_cast<int>(first));
    if (firstResult != 0) return firstResult;

    // The header promises the payload length; an empty read leaves the
    // cleared buffer, so at least a bare header's six bytes are expected.
    const std::size_t expected = std::size_t{ReadLe16(buffer + 2)} + FrameOverhead;
    uint32_t second = 0;
    // A full buffer has no room for a second read: what did not fit is never stored.
    if (first < expected && first < FrameCapacity) {
        const int32_t secondResult = ReadOnce(buffer + first, FrameCapacity - first, second);
        if (LinkQuiet == 0) {
            ConsolePrint("Got %d bytes in the second read.\n", static_cast<int>(second));
        }
        if (secondResult != 0) return secondResult;
    }

    const std::size_t total = std::size_t{first} + second;
    if (LinkQuiet == 0) ConsolePrint("\n");

    if (total < FrameOverhead) {
        if (LinkQuiet == 0) {
            PlatformPrintSystemError(PlatformLastError());
            ConsolePrint("\n*** bogus, ignore ***\n");
            ConsolePrint("Closing the USB port, it might not be working.\n");
            ReopenPipe(100);
        }
        if (total >= FrameCrcSize) CompareCrc(buffer, total, 0);
        return 1;
    }

    crc.Update(std::span<const uint8_t>(buffer, total - FrameCrcSize));
    if (LinkQuiet == 0) {
        ConsolePrint("\nbytes read = %d : CRC = 0x%.4X \n", static_cast<int>(total), crc.value);
    }
    *length = static_cast<uint16_t>(total);
    if (LinkQuiet == 0 && buffer[1] != 0) {
        ConsolePrint(" TAVI_rec ");
        StatusMessage(buffer[1]);
    }
    CompareCrc(buffer, total, crc.value);
    return 0;
}
