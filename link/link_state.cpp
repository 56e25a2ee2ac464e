// The process-wide link state, zero at program load.
#include "link/link_state.h"

#include <cstring>

RequestHeaderRecord RequestHeader{};
uint8_t RequestPayload[FrameCapacity]{};
uint8_t ResponseBuffer[FrameCapacity]{};
const uint8_t* ResponseCursor = ResponseBuffer;
uint16_t ResponseLength = 0;
int32_t LastResult = 0;
uint8_t LinkQuiet = 0;
int32_t ReceiveTimeout = 0;

void SetPayloadLength(uint16_t length) {
    WriteLe16(RequestHeader.length, length);
}

uint16_t PayloadLength(const RequestHeaderRecord& header) {
    return ReadLe16(header.length);
}

void ResetLinkState() {
    RequestHeader = RequestHeaderRecord{};
    std::memset(RequestPayload, 0, sizeof RequestPayload);
    std::memset(ResponseBuffer, 0, sizeof ResponseBuffer);
    ResponseCursor = ResponseBuffer;
    ResponseLength = 0;
    LastResult = 0;
    LinkQuiet = 0;
    ReceiveTimeout = 0;
}

namespace {
RequestGate Gate = nullptr;
PipeObserver Observer = nullptr;
}  // namespace

void SetRequestGate(RequestGate gate) {
    Gate = gate;
}

bool RequestAllowed() {
    return Gate == nullptr || Gate();
}

void SetPipeObserver(PipeObserver observer) {
    Observer = observer;
}

void ObservePipe(PipeCall call, int32_t result, const uint8_t* bytes, uint32_t count) {
    if (Observer != nullptr) Observer(call, result, bytes, count);
}
