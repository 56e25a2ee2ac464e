// Assembling a trace's calls into exchanges and judging each answer as the
// receive path does: a frame needs six bytes, its length is promised by its
// header, and its CRC is checked over everything that arrived.
#include "link/traced_exchange.h"

#include "usbpipe/ductra.h"
#include "link/frame.h"
#include "protocol/status.h"

std::string ResultWords(int32_t result) {
    switch (result) {
        case DUCTRA_RESPONSE_SUCCESS:
            return "success";
        case DUCTRA_RESPONSE_TIMEOUT_OCCUR:
            return "time-out";
        case DUCTRA_RESPONSE_DEVICE_LIST_FAILED:
            return "device list failed";
        case DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND:
            return "USB device not found";
        case DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND:
            return "no USB endpoints found";
        case DUCTRA_RESPONSE_NO_VALID_HANDLER:
            return "pipe not open";
        default:
            return "result " + std::to_string(result);
    }
}

namespace {

// What the answer's header promises in all (payload and six bytes).
std::size_t PromisedLength(const std::vector<uint8_t>& answer) {
    return std::size_t{ReadLe16(answer.data() + 2)} + FrameOverhead;
}

bool HasFrame(const TracedExchange& x) {
    return x.answer.size() >= FrameOverhead;
}

bool CrcMismatch(const TracedExchange& x) {
    if (!HasFrame(x)) return false;
    const std::size_t covered = x.answer.size() - FrameCrcSize;
    const uint16_t computed = Crc16::Of(std::span<const uint8_t>(x.answer.data(), covered));
    return computed != ReadLe16(x.answer.data() + covered);
}

}  // namespace

std::vector<TraceEvent> AssembleExchanges(const std::vector<NumberedCall>& calls) {
    std::vector<TraceEvent> events;
    // The exchange receives now belong to: the last one, while no open or
    // close came after it.
    bool current = false;
    bool sinceOpen = false;  // the pipe was opened and nothing was sent since
    for (const NumberedCall& call : calls) {
        const ductra::TraceEntry& e = call.entry;
        switch (e.call) {
            case ductra::TraceCall::Open: {
                current = false;
                sinceOpen = true;
                if (!events.empty() && events.back().kind == TraceEventKind::Close) {
                    events.back().kind = TraceEventKind::Reopen;
                    events.back().result = e.result;
                } else {
                    events.push_back({TraceEventKind::Open, call.line, e.micros, e.result, {}});
                }
                break;
            }
            case ductra::TraceCall::Close:
                current = false;
                sinceOpen = false;
                events.push_back({TraceEventKind::Close, call.line, e.micros, e.result, {}});
                break;
            case ductra::TraceCall::Send: {
                TraceEvent event{TraceEventKind::Exchange, call.line, e.micros, 0, {}};
                event.exchange.line = call.line;
                event.exchange.micros = e.micros;
                event.exchange.request = e.bytes;
                event.exchange.sendResult = e.result;
                events.push_back(std::move(event));
                current = true;
                sinceOpen = false;
                break;
            }
            case ductra::TraceCall::Receive: {
                if (!current) {
                    // Read before any request: only bytes that came are worth a line.
                    if (e.result != 0 || e.bytes.empty() || !sinceOpen) break;
                    if (events.empty() || events.back().kind != TraceEventKind::Unrequested) {
                        events.push_back({TraceEventKind::Unrequested, call.line, e.micros, 0, {}});
                    }
                    TracedExchange& unrequested = events.back().exchange;
                    unrequested.answer.insert(unrequested.answer.end(), e.bytes.begin(),
                                              e.bytes.end());
                    ++unrequested.reads;
                    break;
                }
                TracedExchange& x = events.back().exchange;
                ++x.receives;
                if (e.result == 0) {
                    if (!e.bytes.empty() && x.timedOut) x.late = true;
                    x.answer.insert(x.answer.end(), e.bytes.begin(), e.bytes.end());
                    ++x.reads;
                } else if (e.result == DUCTRA_RESPONSE_TIMEOUT_OCCUR) {
                    x.timedOut = true;
                } else if (x.failure == 0) {
                    x.failure = e.result;
                }
                break;
            }
        }
    }
    return events;
}

std::span<const uint8_t> RequestPayloadOf(const TracedExchange& x) {
    return FramePayload(x.request);
}

std::span<const uint8_t> AnswerPayloadOf(const TracedExchange& x) {
    return FramePayload(x.answer);
}

std::string AnswerWords(const TracedExchange& x) {
    if (x.sendResult != 0) return "not sent";
    if (HasFrame(x)) {
        const uint8_t status = x.answer[1];
        return "status " + std::to_string(status) + " " + StatusText(status);
    }
    if (!x.answer.empty()) return "no answer frame";
    return x.receives == 0 ? "answer not read" : "no answer";
}

std::vector<std::string> ExchangeFaults(const TracedExchange& x) {
    std::vector<std::string> faults;
    if (x.sendResult != 0) faults.push_back("send failed (" + ResultWords(x.sendResult) + ")");
    if (x.timedOut) faults.emplace_back("time-out");
    if (x.failure != 0) faults.push_back(ResultWords(x.failure));
    const std::size_t got = x.answer.size();
    if (got > 0 && got < FrameOverhead) {
        faults.push_back("short answer (" + std::to_string(got) + " bytes)");
    }
    if (x.reads > 1 && got > 0) {
        faults.push_back("split answer (" + std::to_string(x.reads) + " reads)");
    }
    if (HasFrame(x) && got != PromisedLength(x.answer)) {
        faults.push_back((got < PromisedLength(x.answer) ? "incomplete answer ("
                                                         : "answer longer than its frame (") +
                         std::to_string(got) + " of " + std::to_string(PromisedLength(x.answer)) +
                         " bytes)");
    }
    if (CrcMismatch(x)) faults.emplace_back("CRC mismatch");
    if (x.late) faults.emplace_back("late answer");
    return faults;
}

bool ExchangeAccepted(const TracedExchange& x) {
    return x.sendResult == 0 && HasFrame(x) && x.answer[1] == 0;
}

std::string ExchangeVerdict(const TracedExchange& x) {
    if (x.sendResult != 0) return "not sent (" + ResultWords(x.sendResult) + ")";
    if (HasFrame(x)) {
        if (x.answer[1] != 0) return "refused: " + AnswerWords(x);
        return CrcMismatch(x) ? "accepted (answer with a CRC mismatch)" : "accepted";
    }
    if (!x.answer.empty()) return "no answer frame (" + std::to_string(x.answer.size()) + " bytes)";
    if (x.failure != 0) return "no answer (" + ResultWords(x.failure) + ")";
    return x.timedOut ? "no answer (time-out)" : "no answer";
}
