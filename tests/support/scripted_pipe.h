// A scripted pipe: the six ductra exports answering from a script, so that
// link and service code can be tested without a device or the simulator.
// Each queued read is what one DuctraReceive delivers; with nothing queued a
// receive times out (-1). Every frame handed to DuctraSend is recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace ScriptedPipe {

using Bytes = std::vector<uint8_t>;

// Back to a fresh state: pipe open, nothing queued, nothing recorded,
// DuctraOpen answering 0.
void Reset();
// Result DuctraOpen gives from now on (0 opens the pipe).
void SetOpenResult(int32_t result);
// Marks the pipe open or closed without counting an open or close.
void SetOpen(bool open);
bool IsOpen();

// One DuctraReceive that returns `result` and, when it is 0, delivers `bytes`.
void QueueRead(int32_t result, Bytes bytes = {});
// One read delivering a whole, correctly framed response.
void QueueResponse(uint8_t status, const Bytes& payload = {});
// One read that times out.
void QueueTimeout();
// A response frame: header byte 0 (0), status, little-endian length, payload, CRC.
Bytes ResponseFrame(uint8_t status, const Bytes& payload = {});

// Called with each sent frame before it is recorded; may queue reads, so that
// a test can answer requests as they come.
void SetResponder(std::function<void(const Bytes& frame)> responder);

// Frames sent so far, in order, and how often the pipe was opened and closed.
const std::vector<Bytes>& Sent();
int OpenCalls();
int CloseCalls();
// Capacity and timeout of the last DuctraReceive.
int32_t LastReceiveCapacity();
int32_t LastReceiveTimeout();
// Reads still queued.
std::size_t PendingReads();

}  // namespace ScriptedPipe
