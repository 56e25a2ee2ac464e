// Sending one request frame through the USB pipe.
#include <array>

#include "link/link.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"
#include "usbpipe/ductra.h"

void SendRequest(const uint8_t* payload, RequestHeaderRecord header) {
    if (!RequestAllowed()) return;
    std::array<uint8_t, FrameCapacity> frame{};
    // A payload that cannot fit the frame is never sent: nothing past the
    // frame buffer may be written (the builder refuses it with 0).
    const std::size_t frameLength = BuildFrame(
        header.address, header.command,
        std::span<const uint8_t>(payload, payload != nullptr ? PayloadLength(header) : 0), frame);
    if (frameLength == 0) return;
    const uint16_t crc = ReadLe16(&frame[frameLength - FrameCrcSize]);
    const int length = static_cast<int>(frameLength);

    if (LinkQuiet == 0) {
        ConsolePrint("bytes out = %d, CRC= %.4X\n", length, crc);
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
