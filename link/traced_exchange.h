// The exchanges of a recorded trace: which receives answered which request,
// and what went wrong in each, judged as ReceiveResponse judges an answer
// (its length, its CRC over what arrived, the reads it took).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "usbpipe/trace/trace_format.h"

// One call of a trace, with the number of its line.
struct NumberedCall {
    uint32_t line = 0;
    ductra::TraceEntry entry;
};

// A request and what came back for it.
struct TracedExchange {
    uint32_t line = 0;    // of the send
    uint64_t micros = 0;  // when the send returned
    std::vector<uint8_t> request;
    int32_t sendResult = 0;
    std::vector<uint8_t> answer;  // the bytes delivered for it, in order
    uint32_t reads = 0;           // receives that delivered
    uint32_t receives = 0;        // receives made for it
    bool timedOut = false;        // a receive for it timed out
    int32_t failure = 0;          // a receive's failure other than a time-out
    bool late = false;            // bytes came after a receive for it had timed out
};

enum class TraceEventKind : uint8_t {
    Exchange,
    Open,         // an open; result is its result
    Close,        // a close not followed by an open
    Reopen,       // a close followed at once by an open; result is the open's
    Unrequested,  // bytes read before any request since the pipe opened
};

struct TraceEvent {
    TraceEventKind kind = TraceEventKind::Exchange;
    uint32_t line = 0;
    uint64_t micros = 0;
    int32_t result = 0;
    TracedExchange exchange;  // Exchange; Unrequested: its answer only
};

// The calls of one trace, in order, as exchanges and pipe events.
std::vector<TraceEvent> AssembleExchanges(const std::vector<NumberedCall>& calls);

// A library result in words: "time-out", "pipe not open", "USB device not found".
std::string ResultWords(int32_t result);

// The payload of the request frame (what its header promises, within what
// was sent).
std::span<const uint8_t> RequestPayloadOf(const TracedExchange& exchange);
// The payload of the answer frame, as ReceivedPayload bounds it: what its
// header promises, within what arrived. Empty for an answer of fewer than
// six bytes.
std::span<const uint8_t> AnswerPayloadOf(const TracedExchange& exchange);

// The answer in words: "status 0 Success", "no answer", "not sent".
std::string AnswerWords(const TracedExchange& exchange);
// The faults of the exchange in words, in a fixed order; empty when there
// were none.
std::vector<std::string> ExchangeFaults(const TracedExchange& exchange);
// Whether the device took the request: a whole answer frame with status 0.
bool ExchangeAccepted(const TracedExchange& exchange);
// "accepted", "refused: status 16 Device Error, ...", "no answer (time-out)".
std::string ExchangeVerdict(const TracedExchange& exchange);
