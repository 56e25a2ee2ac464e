// Sending, receiving and whole exchanges over the USB pipe.
#pragma once

#include <cstdint>
#include <span>

#include "link/link_state.h"

// Frames header + payload with its CRC and hands it to DuctraSend (10000 ms).
// Traces the frame while LinkQuiet is 0. The payload is not read when the
// header's length is 0.
void SendRequest(const uint8_t* payload, RequestHeaderRecord header);

// Reads one response frame into buffer (ResponseBuffer) with at most two
// reads; 0 for six or more bytes (CRC mismatch printed, not failed), 1 for a
// short frame, otherwise the failing DuctraReceive result. length is written
// only for a frame of six or more bytes.
int32_t ReceiveResponse(uint16_t* length, uint8_t* buffer);

// The exchange without Transact, as the service operations make it: sets
// CommandCode and the payload length, points ResponseCursor at the response,
// sends RequestPayload to DeviceAddress and receives into ResponseBuffer with
// ResponseLength. Returns the full ReceiveResponse result (a time-out is -1);
// the callers keep it in LastResult.
int32_t ExchangeDirect(uint8_t command, uint16_t payloadLength);

// One request, one response; the device status if nonzero, otherwise the low
// byte of the receive result (255 time-out, 251 pipe not open, 1 short frame).
uint8_t Transact(uint8_t command, const uint8_t* payload, uint16_t payloadLength,
                 uint16_t* responseLength);

// The family byte of the configuration record of a board of DeviceAddress;
// 0 after printing "command error\n" when the exchange fails.
uint8_t QueryDeviceFamily(uint8_t boardAddress);

// Prints the device status (when nonzero) and the system error text (when
// the link result is nonzero).
void PrintLinkError(int32_t linkResult, uint8_t status);

// Closes the pipe, waits waitMs, opens it again; the DuctraOpen result.
int32_t ReopenPipe(int32_t waitMs);

// The payload bytes of the response now in ResponseBuffer that really arrived,
// for a frame of frameLength bytes (normally ResponseLength): what the header
// promises, never more than was received or than the buffer holds. Every
// decode of a device answer stays within this.
std::span<const uint8_t> ReceivedPayload(uint16_t frameLength);
