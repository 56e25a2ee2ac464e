// Sending one request frame through the USB pipe.
#include <array>

#include "usbpipe/ductra.h"
#include "link/link.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"

void SendRequest(const uint8_t* payload, RequestHeaderRecord header) {
    if (!RequestAllowed()) return;
    std::array<uint8_t, FrameCapacity> frame{};
    const std::size_t payloadLength = PayloadLength(header);
    // A payload that cannot fit the frame is never sent: nothing past the
    // frame buffer may be written.
    if (payloadLength > MaxRequestPayload) return;

    Crc16 crc;
    frame[0] = header.address;
    frame[1] = header.command;
    frame[2] = header.length[0];
    frame[3] = header.length[1];
    for (std::size_t i = 0; i < payloadLength; ++i) frame[FrameHeaderSize + i] = payload[i];
    const std::size_t covered = FrameHeaderSize + payloadLength;
    crc.Update(std::span<const uint8_t>(frame.data(), covered));
    WriteLe16(&frame[covered], crc.value);
    const std::size_t frameLength = covered + FrameCrcSize;
    const int length = static_cast<int>(frameLength);

    if (LinkQuiet == 0) {
        ConsolePrint("bytes out = %d, CRC= %.4X\n", length, crc.value);
        for (std::size_t i = 0; i < frameLength; ++i) ConsolePrint("%.2X ", frame[i]);
        ConsolePrint("\n");
    }

    const int32_t result =
        DuctraSend(frame.data(), static_cast<uint32_t>(frameLength), SendTimeoutMs);
    ObservePipe(PipeCall::Send, result, frame.data(), static_cast<uint32_t>(frameLength));
    if (LinkQuiet != 0) return;

    ConsolePrint("USB Port result= %d, bytes sent= %d\n", result, length);
    if (result != 0) ConsolePrint("USB port error = %d\n", PlatformLastError());
    ConsolePrint("\n");
}
