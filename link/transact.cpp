// One request, one response; the device-family query built on it; and the
// console report of a failed exchange.
#include <algorithm>

#include "link/link.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"

uint8_t Transact(uint8_t command, const uint8_t* payload, uint16_t payloadLength,
                 uint16_t* responseLength) {
    CommandCode = command;
    SetPayloadLength(payloadLength);
    SendRequest(payload, RequestHeader);
    const int32_t result = ReceiveResponse(responseLength, ResponseBuffer);
    // The device's own status wins over the link result.
    if (ResponseStatus != 0) return ResponseStatus;
    return static_cast<uint8_t>(result & 0xFF);
}

int32_t ExchangeDirect(uint8_t command, uint16_t payloadLength) {
    CommandCode = command;
    SetPayloadLength(payloadLength);
    ResponseCursor = ResponseBuffer;
    SendRequest(RequestPayload, RequestHeader);
    return ReceiveResponse(&ResponseLength, ResponseBuffer);
}

uint8_t QueryDeviceFamily(uint8_t boardAddress) {
    RequestPayload[0] = boardAddress;
    RequestPayload[1] = 0;
    ResponseCursor = ResponseBuffer;
    uint16_t length = 0;
    const uint8_t result = Transact(Command::DeviceReport, RequestPayload, 2, &length);
    if (ResponseStatus != 0 || result != 0) {
        ConsolePrint("command error\n");
        return 0;
    }
    // The family is the first payload byte; a good frame always holds the
    // byte at offset 4 within the cleared buffer, and an empty payload reads 0.
    ResponseCursor += ResponsePayloadOffset;
    return length > FrameOverhead ? *ResponseCursor : 0;
}

void PrintLinkError(int32_t linkResult, uint8_t status) {
    // The system's last error is taken before anything is printed: writing
    // to the console may change it.
    const int systemError = PlatformLastError();
    if (status != 0) {
        ConsolePrint("TAVI Error: ");
        StatusMessage(status);
    }
    if (linkResult != 0) {
        ConsolePrint("Windows error: ");
        PlatformPrintSystemError(systemError);
    }
}

std::span<const uint8_t> ReceivedPayload(uint16_t frameLength) {
    const std::size_t frame = std::min<std::size_t>(frameLength, FrameCapacity);
    const std::span<const uint8_t> payload = FramePayload({ResponseBuffer, frame});
    // Short of a frame the payload is still where it would be, holding nothing.
    return payload.empty() ? std::span<const uint8_t>(ResponseBuffer + ResponsePayloadOffset, 0)
                           : payload;
}
