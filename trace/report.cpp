// The two reports of a trace. A file may hold several traces (the writer
// appends); each is read on its own, its calls assembled into exchanges by
// the link layer's rules, their words taken from the command catalogue and
// the status texts, the changes described by the service commands' own
// reading of their payloads and the downloads followed by the bootloader
// transfer's rules.
#include "trace/report.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "firmware/download_record.h"
#include "link/frame.h"
#include "link/traced_exchange.h"
#include "protocol/commands.h"
#include "service/change_record.h"
#include "service/service.h"
#include "usbpipe/trace/trace_format.h"

namespace {

using Clock = std::chrono::sys_time<std::chrono::microseconds>;

struct Trace {
    uint32_t number = 0;
    uint32_t line = 0;
    std::size_t offset = 0;
    ductra::TraceHeader header;
    bool startKnown = false;
    Clock start;
    std::vector<NumberedCall> calls;
};

// The header's start time, whose shape (YYYY-MM-DDTHH:MM:SS.mmmZ) the line
// reader has checked; false for a date that does not exist.
bool ReadStart(const std::string& text, Clock& start) {
    auto number = [&text](std::size_t at, std::size_t digits) {
        int value = 0;
        for (std::size_t i = 0; i < digits; ++i) value = value * 10 + (text[at + i] - '0');
        return value;
    };
    using namespace std::chrono;
    const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))},
                              day{static_cast<unsigned>(number(8, 2))}};
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return false;
    start = sys_days{date} + hours{hour} + minutes{minute} + seconds{second} +
            milliseconds{number(20, 3)};
    return true;
}

// Milliseconds since the trace began, in a column.
std::string Milliseconds(uint64_t micros) {
    char text[48];
    std::snprintf(text, sizeof text, "%9llu.%03u", static_cast<unsigned long long>(micros / 1000),
                  static_cast<unsigned>(micros % 1000));
    return text;
}

// The time of a call in UTC, to the second.
std::string UtcWords(const Trace& trace, uint64_t micros) {
    using namespace std::chrono;
    if (!trace.startKnown) return Milliseconds(micros) + " ms";
    const Clock at = trace.start + std::chrono::microseconds{micros};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{floor<seconds>(at - day)};
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

// "1 sonde", or the bare address where the bus gives it no name.
std::string DeviceWords(uint8_t address) {
    const char* name = BusDeviceName(address);
    return std::to_string(address) + (name != nullptr ? std::string(" ") + name : "");
}

// ", board N" for a request whose first payload byte is a board address.
std::string BoardWords(const TracedExchange& x) {
    const std::span<const uint8_t> payload = RequestPayloadOf(x);
    if (x.request.size() < FrameOverhead || !CarriesBoard(x.request[1]) || payload.empty()) {
        return "";
    }
    return ", board " + std::to_string(payload[0]);
}

std::string CommandWords(uint8_t command) {
    if (const char* name = CommandName(command)) return name;
    char text[24];
    std::snprintf(text, sizeof text, "command 0x%02X", command);
    return text;
}

std::string FaultWords(const TracedExchange& x) {
    const std::vector<std::string> faults = ExchangeFaults(x);
    std::string words;
    for (const std::string& fault : faults) words += (words.empty() ? "; faults: " : ", ") + fault;
    return words;
}

std::string ExchangeLine(const TracedExchange& x) {
    std::string line = Milliseconds(x.micros) + "  ";
    if (x.request.size() < FrameOverhead) {
        line += "a request of " + std::to_string(x.request.size()) + " bytes, no frame";
    } else {
        line += DeviceWords(x.request[0]) + ", " + CommandWords(x.request[1]) + BoardWords(x) +
                ", payload " + std::to_string(ReadLe16(x.request.data() + 2));
    }
    return line + ": " + AnswerWords(x) + FaultWords(x);
}

void PrintExchanges(const Trace& trace, std::FILE* out) {
    std::fprintf(out, "trace %u, line %u: %s on %s, started %s\n", trace.number, trace.line,
                 trace.header.library.c_str(), trace.header.platform.c_str(),
                 trace.header.start.c_str());
    for (const TraceEvent& event : AssembleExchanges(trace.calls)) {
        std::string line;
        switch (event.kind) {
            case TraceEventKind::Exchange:
                line = ExchangeLine(event.exchange);
                break;
            case TraceEventKind::Open:
                line = Milliseconds(event.micros) +
                       (event.result == 0 ? "  pipe opened"
                                          : "  open failed: " + ResultWords(event.result));
                break;
            case TraceEventKind::Close:
                line = Milliseconds(event.micros) + "  pipe closed";
                break;
            case TraceEventKind::Reopen:
                line = Milliseconds(event.micros) +
                       (event.result == 0
                            ? "  pipe closed and reopened"
                            : "  pipe closed; reopen failed: " + ResultWords(event.result));
                break;
            case TraceEventKind::Unrequested:
                line = Milliseconds(event.micros) + "  answer waiting before any request, " +
                       std::to_string(event.exchange.answer.size()) +
                       " bytes: " + AnswerWords(event.exchange) + FaultWords(event.exchange);
                break;
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
}

// The service record of one trace: each change and each download, in order.
std::vector<TraceChange> CollectChanges(const Trace& trace,
                                        std::vector<TraceBoardSerial>* serials = nullptr) {
    std::vector<TraceChange> changes;
    DownloadRecord download;
    auto addDownload = [&] {
        TraceChange change;
        change.micros = download.micros;
        change.utc = UtcWords(trace, download.micros);
        change.address = download.address;
        change.board = download.board;
        change.download = true;
        change.where = DeviceWords(download.address) + ", board " + std::to_string(download.board);
        change.words = change.text = DownloadWords(download);
        changes.push_back(std::move(change));
    };
    for (const TraceEvent& event : AssembleExchanges(trace.calls)) {
        if (event.kind != TraceEventKind::Exchange) continue;
        const TracedExchange& x = event.exchange;
        const DownloadStep step = ClassifyDownloadStep(download, x);
        if (step != DownloadStep::Continues && download.open) {
            addDownload();
            download = DownloadRecord{};
        }
        if (step != DownloadStep::None) {
            TakeDownloadStep(download, x);
            continue;
        }
        if (x.request.size() < FrameOverhead) continue;
        const std::span<const uint8_t> payload = RequestPayloadOf(x);
        if (serials != nullptr && x.request[1] == Command::DeviceReport && !payload.empty() &&
            ExchangeAccepted(x)) {
            // The configuration record: family, model, version word, then the
            // serial number field, NUL-padded.
            const std::span<const uint8_t> answer = AnswerPayloadOf(x);
            if (answer.size() >= 4 + SerialFieldSize) {
                std::string serial;
                for (uint8_t c : answer.subspan(4, SerialFieldSize)) {
                    if (c == 0) break;
                    serial += static_cast<char>(c);
                }
                if (!serial.empty()) serials->push_back({x.request[0], payload[0], serial});
            }
        }
        std::string words;
        if (!DescribeBoardChange(x.request[1], payload, words)) continue;
        TraceChange change;
        change.micros = x.micros;
        change.utc = UtcWords(trace, x.micros);
        change.address = x.request[0];
        if (CarriesBoard(x.request[1]) && !payload.empty()) change.board = payload[0];
        change.where = DeviceWords(x.request[0]) + BoardWords(x);
        change.words = words;
        change.verdict = ExchangeVerdict(x);
        change.text = change.words + ": " + change.verdict;
        changes.push_back(std::move(change));
    }
    if (download.open) addDownload();
    return changes;
}

void PrintChanges(const Trace& trace, std::FILE* out) {
    for (const TraceChange& change : CollectChanges(trace)) {
        std::fprintf(out, "%s  %s: %s\n", change.utc.c_str(), change.where.c_str(),
                     change.text.c_str());
    }
}

void Print(const Trace& trace, TraceReport report, std::FILE* out) {
    if (trace.number == 0) return;
    if (report == TraceReport::Exchanges) {
        PrintExchanges(trace, out);
    } else {
        PrintChanges(trace, out);
    }
}

// Reads every trace of the text and hands each, once complete, to done.
int ForEachTrace(std::string_view text, const char* name, const char* program, std::FILE* err,
                 const std::function<void(const Trace&)>& done) {
    int status = 0;
    Trace trace;
    uint32_t traces = 0;
    auto damaged = [&](uint32_t number, const std::string& problem) {
        std::fprintf(err, "%s: %s line %u: %s; skipped\n", program, name, number, problem.c_str());
        status = 1;
    };
    // A header ends the trace before it and starts the next.
    auto begin = [&](uint32_t number, const ductra::TraceHeader& header) {
        if (trace.number != 0) done(trace);
        trace = Trace{};
        trace.number = ++traces;
        trace.line = number;
        trace.header = header;
    };
    for (const ductra::TraceTextLine& text_line : ductra::SplitTraceText(text)) {
        if (text_line.cutOff) {
            damaged(text_line.number, "cut off (no line end)");
            continue;
        }
        ductra::TraceLine line;
        std::string problem;
        switch (ductra::ParseTraceLine(text_line.text, line, problem)) {
            case ductra::TraceLineStatus::UnknownVersion:
                if (trace.number != 0) done(trace);
                std::fprintf(err,
                             "%s: %s line %u: trace format version %d; this reader "
                             "reads version %d\n",
                             program, name, text_line.number, line.header.version,
                             ductra::TraceFormatVersion);
                return 2;
            case ductra::TraceLineStatus::Damaged:
                damaged(text_line.number, problem);
                // A damaged header still starts a trace: what follows is not
                // the previous one's.
                if (line.isHeader) {
                    ductra::TraceHeader unknown;
                    unknown.library = unknown.platform = unknown.start = "(unknown)";
                    begin(text_line.number, unknown);
                }
                continue;
            case ductra::TraceLineStatus::Read:
                break;
        }
        if (line.isHeader) {
            begin(text_line.number, line.header);
            trace.offset = static_cast<std::size_t>(text_line.text.data() - text.data());
            trace.startKnown = ReadStart(line.header.start, trace.start);
        } else if (trace.number == 0) {
            damaged(text_line.number, "a call before the first header");
        } else {
            trace.calls.push_back({text_line.number, std::move(line.entry)});
        }
    }
    if (trace.number != 0) done(trace);
    return status;
}

}  // namespace

int ReadTrace(std::string_view text, const char* name, TraceReport report, std::FILE* out,
              std::FILE* err) {
    return ForEachTrace(text, name, "quillon-trace", err,
                        [&](const Trace& trace) { Print(trace, report, out); });
}

int ReadTraceSessions(std::string_view text, const char* name, const char* program,
                      std::vector<TraceSession>& sessions, std::FILE* err) {
    return ForEachTrace(text, name, program, err, [&](const Trace& trace) {
        TraceSession session;
        session.number = trace.number;
        session.line = trace.line;
        session.offset = trace.offset;
        session.header = trace.header;
        if (trace.startKnown) {
            session.startUtc = trace.header.start.substr(0, 19) + "Z";
        }
        session.changes = CollectChanges(trace, &session.serials);
        sessions.push_back(std::move(session));
    });
}
