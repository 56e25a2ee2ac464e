// The process-wide link state: the request being built, the last response
// received, and how the link behaves (trace, receive time-out).
#pragma once

#include <cstdint>

#include "link/frame.h"

// The header of the next request frame, in frame order; copied unchanged
// into each frame.
struct RequestHeaderRecord {
    uint8_t address;    // DeviceAddress
    uint8_t command;    // CommandCode
    uint8_t length[2];  // payload length, little-endian
};

extern RequestHeaderRecord RequestHeader;
inline uint8_t& DeviceAddress = RequestHeader.address;
inline uint8_t& CommandCode = RequestHeader.command;

void SetPayloadLength(uint16_t length);
uint16_t PayloadLength(const RequestHeaderRecord& header);

extern uint8_t RequestPayload[FrameCapacity];
extern uint8_t ResponseBuffer[FrameCapacity];
inline const uint8_t& ResponseStatus = ResponseBuffer[1];
inline constexpr std::size_t ResponsePayloadOffset = FrameHeaderSize;
extern const uint8_t* ResponseCursor;
extern uint16_t ResponseLength;
extern int32_t LastResult;
extern uint8_t LinkQuiet;
extern int32_t ReceiveTimeout;

// Timeouts of the link.
inline constexpr int32_t SendTimeoutMs = 10000;
inline constexpr int32_t WorkingReceiveTimeoutMs = 2000;

// A gate a program may put before the pipe: consulted before each request
// is sent and each answer read; once it says no, nothing more is sent and
// every receive fails at once as with a pipe not open, so the operation under
// way ends as after a lost pipe. nullptr (the default) lets everything through.
using RequestGate = bool (*)();
void SetRequestGate(RequestGate gate);
bool RequestAllowed();

// An observer a program may put on the pipe: told of every open, send,
// receive and close as the call returns, with its result and the bytes it
// sent or delivered (none for a failed receive). The station keeps its own
// record of a job's exchanges from it. nullptr (the default) observes nothing.
enum class PipeCall : uint8_t { Open, Send, Receive, Close };
using PipeObserver = void (*)(PipeCall call, int32_t result, const uint8_t* bytes, uint32_t count);
void SetPipeObserver(PipeObserver observer);
void ObservePipe(PipeCall call, int32_t result, const uint8_t* bytes = nullptr, uint32_t count = 0);

// Puts the whole link state back to its program-load values (zero); used by tests.
void ResetLinkState();
