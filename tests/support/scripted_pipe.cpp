#include "support/scripted_pipe.h"

#include <algorithm>
#include <deque>

#include "usbpipe/ductra.h"
#include "link/frame.h"

namespace {

struct QueuedRead {
    int32_t result;
    ScriptedPipe::Bytes bytes;
};

struct PipeState {
    bool open = true;
    int32_t openResult = 0;
    std::deque<QueuedRead> reads;
    std::vector<ScriptedPipe::Bytes> sent;
    std::function<void(const ScriptedPipe::Bytes&)> responder;
    int openCalls = 0;
    int closeCalls = 0;
    int32_t lastCapacity = 0;
    int32_t lastTimeout = 0;
};

PipeState& State() {
    static PipeState state;
    return state;
}

}  // namespace

namespace ScriptedPipe {

void Reset() { State() = PipeState{}; }
void SetOpenResult(int32_t result) { State().openResult = result; }
void SetOpen(bool open) { State().open = open; }
bool IsOpen() { return State().open; }

void QueueRead(int32_t result, Bytes bytes) { State().reads.push_back({result, std::move(bytes)}); }
void QueueResponse(uint8_t status, const Bytes& payload) {
    QueueRead(0, ResponseFrame(status, payload));
}
void QueueTimeout() { QueueRead(DUCTRA_RESPONSE_TIMEOUT_OCCUR); }

Bytes ResponseFrame(uint8_t status, const Bytes& payload) {
    std::array<uint8_t, FrameCapacity> frame{};
    const std::size_t length = BuildFrame(0, status, payload, frame);
    return Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
}

void SetResponder(std::function<void(const Bytes& frame)> responder) {
    State().responder = std::move(responder);
}

const std::vector<Bytes>& Sent() { return State().sent; }
int OpenCalls() { return State().openCalls; }
int CloseCalls() { return State().closeCalls; }
int32_t LastReceiveCapacity() { return State().lastCapacity; }
int32_t LastReceiveTimeout() { return State().lastTimeout; }
std::size_t PendingReads() { return State().reads.size(); }

}  // namespace ScriptedPipe

extern "C" {

int32_t DUCTRA_CALL DuctraOpen(void) {
    PipeState& s = State();
    ++s.openCalls;
    s.open = s.openResult == 0;
    return s.openResult;
}

int32_t DUCTRA_CALL DuctraSend(uint8_t* buffer, uint32_t length, int32_t /*timeout*/) {
    PipeState& s = State();
    if (!s.open || buffer == nullptr) return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    ScriptedPipe::Bytes frame(buffer, buffer + length);
    if (s.responder) s.responder(frame);
    s.sent.push_back(std::move(frame));
    return DUCTRA_RESPONSE_SUCCESS;
}

int32_t DUCTRA_CALL DuctraReceive(uint8_t* buffer, int32_t capacity, int32_t timeout,
                                  uint32_t* count) {
    PipeState& s = State();
    s.lastCapacity = capacity;
    s.lastTimeout = timeout;
    if (!s.open || buffer == nullptr) return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    if (s.reads.empty()) return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
    QueuedRead read = std::move(s.reads.front());
    s.reads.pop_front();
    if (read.result != 0) return read.result;
    // One transfer delivers at most the capacity asked for; the rest stays queued.
    const std::size_t take =
        std::min(read.bytes.size(), static_cast<std::size_t>(std::max(capacity, 0)));
    std::copy_n(read.bytes.begin(), take, buffer);
    if (take < read.bytes.size()) {
        s.reads.push_front({0, ScriptedPipe::Bytes(read.bytes.begin() +
                                                       static_cast<std::ptrdiff_t>(take),
                                                   read.bytes.end())});
    }
    if (count != nullptr) *count = static_cast<uint32_t>(take);
    return DUCTRA_RESPONSE_SUCCESS;
}

int32_t DUCTRA_CALL DuctraClose(void) {
    PipeState& s = State();
    ++s.closeCalls;
    s.open = false;
    return 0;
}

int32_t DUCTRA_CALL DuctraVersion(void) { return 1100; }
int32_t DUCTRA_CALL DuctraChatty(int32_t /*quiet*/) { return 0; }

}  // extern "C"
