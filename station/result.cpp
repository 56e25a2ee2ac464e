// Decoding a job's exchanges. The trace file holds every call of the run;
// each step's calls are those written while its command ran (its window of
// the file), assembled into exchanges by the link layer's rules and read
// with the decoders quillon-trace --changes uses.
#include "station/result.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>

#include "firmware/download_record.h"
#include "firmware/image.h"
#include "link/frame.h"
#include "link/traced_exchange.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "service/change_record.h"
#include "service/service.h"
#include "usbpipe/trace/trace_format.h"

namespace {

using Json = nlohmann::json;

struct TraceCalls {
    std::vector<NumberedCall> calls;
    std::vector<uint64_t> offsets;  // of each call's line in the file
};

// The calls written to the trace from the given size of the file on (a size
// taken between two calls is where a line begins).
TraceCalls ReadCalls(const std::string& path, uint64_t from) {
    TraceCalls out;
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    file.seekg(static_cast<std::streamoff>(from));
    if (!file) return out;
    std::stringstream rest;
    rest << file.rdbuf();
    const std::string text = rest.str();
    for (const ductra::TraceTextLine& line : ductra::SplitTraceText(text)) {
        if (line.cutOff) continue;
        ductra::TraceLine parsed;
        std::string problem;
        if (ductra::ParseTraceLine(line.text, parsed, problem) != ductra::TraceLineStatus::Read ||
            parsed.isHeader) {
            continue;
        }
        out.calls.push_back({line.number, std::move(parsed.entry)});
        out.offsets.push_back(from + static_cast<uint64_t>(line.text.data() - text.data()));
    }
    return out;
}

// The exchanges of the calls written between two sizes of the trace file.
std::vector<TracedExchange> ExchangesBetween(const TraceCalls& trace, uint64_t from, uint64_t to) {
    std::vector<NumberedCall> calls;
    for (std::size_t i = 0; i < trace.calls.size(); ++i) {
        if (trace.offsets[i] >= from && trace.offsets[i] < to) calls.push_back(trace.calls[i]);
    }
    std::vector<TracedExchange> exchanges;
    for (TraceEvent& event : AssembleExchanges(calls)) {
        if (event.kind == TraceEventKind::Exchange) exchanges.push_back(std::move(event.exchange));
    }
    return exchanges;
}

uint8_t CommandOf(const TracedExchange& x) {
    return x.request.size() >= FrameHeaderSize ? x.request[1] : 0;
}

std::string VersionText(uint16_t word) {
    const CodeVersionParts parts = CodeVersion(word);
    return std::to_string(parts.major) + "." + std::to_string(parts.minor);
}

std::string NameOf(uint8_t family, uint8_t model) {
    const char* name = CatalogueName(family, model);
    std::string text = name != nullptr ? name : "";
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A listing's device records, within the bytes received.
Json ListingRecords(const TracedExchange& x) {
    constexpr std::size_t Header = 4, Record = 6;
    const std::span<const uint8_t> payload = AnswerPayloadOf(x);
    Json boards = Json::array();
    if (payload.size() < Header) return boards;
    const std::size_t count =
        std::min<std::size_t>(ReadLe16(payload.data() + 2), (payload.size() - Header) / Record);
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* r = payload.data() + Header + i * Record;
        boards.push_back({{"address", r[0]},
                          {"family", r[2]},
                          {"model", r[3]},
                          {"type", NameOf(r[2], r[3])},
                          {"code_version", VersionText(ReadLe16(r + 4))}});
    }
    return boards;
}

// A configuration record's identity: family, model, version word, serial number.
Json ConfigurationRecord(const TracedExchange& x) {
    const std::span<const uint8_t> payload = AnswerPayloadOf(x);
    if (payload.size() < 4 + SerialFieldSize) return nullptr;
    const std::span<const uint8_t> field = payload.subspan(4, SerialFieldSize);
    std::string serial;
    for (uint8_t c : field) {
        if (c == 0) break;
        serial += static_cast<char>(c);
    }
    return {{"family", payload[0]},
            {"model", payload[1]},
            {"type", NameOf(payload[0], payload[1])},
            {"code_version", VersionText(ReadLe16(payload.data() + 2))},
            {"serial_number", serial}};
}

int BoardOf(const TracedExchange& x) {
    const std::span<const uint8_t> payload = RequestPayloadOf(x);
    return payload.empty() ? -1 : payload[0];
}

bool HasFrame(const TracedExchange& x) {
    return x.sendResult == 0 && x.answer.size() >= FrameOverhead;
}

// The outcome of a failed exchange: the device refused it, or the link failed.
struct Failure {
    int exit = ExitDone;
    Json detail;
};

Failure Judge(const TracedExchange& x) {
    Failure failure;
    failure.detail = {{"request", CommandName(CommandOf(x)) ? CommandName(CommandOf(x)) : "?"},
                      {"verdict", ExchangeVerdict(x)}};
    if (HasFrame(x) && x.answer[1] != 0) {
        failure.exit = ExitRefused;
        failure.detail["status"] = x.answer[1];
        failure.detail["status_text"] = StatusText(x.answer[1]);
    } else {
        failure.exit = ExitLinkFailure;
        failure.detail["link_error"] = AnswerWords(x);
    }
    return failure;
}

bool IsChange(OperationKind kind) {
    return kind != OperationKind::List && kind != OperationKind::Report &&
           kind != OperationKind::Download;
}

// One operation's outcome from the exchanges of its steps.
struct OperationOutcome {
    int exit = ExitDone;
    Json fields = Json::object();
};

OperationOutcome Decode(const JobOperation& op, const std::vector<TracedExchange>& exchanges) {
    OperationOutcome out;
    auto fail = [&out](const Failure& failure) {
        if (out.exit != ExitDone) return;
        out.exit = failure.exit;
        out.fields["failure"] = failure.detail;
    };
    if (op.kind == OperationKind::Download) {
        DownloadRecord record;
        for (const TracedExchange& x : exchanges) {
            if (ClassifyDownloadStep(record, x) != DownloadStep::None) TakeDownloadStep(record, x);
        }
        const std::string words = DownloadWords(record);
        const bool completed =
            words.size() >= 9 && words.compare(words.size() - 9, 9, "completed") == 0;
        Json download = {
            {"blocks_expected", record.expectedBlocks},
            {"blocks_written", record.written},
            {"blocks_verified", record.verified},
            {"old_code_version", record.oldKnown ? Json(std::to_string(record.old.major) + "." +
                                                        std::to_string(record.old.minor))
                                                 : Json(nullptr)},
            {"erased", record.erased},
            {"completed", completed},
            {"record", words}};
        out.fields["download"] = download;
        if (completed) return out;
        if (record.failure.find("differs") != std::string::npos) {
            out.exit = ExitVerifyFailure;
            out.fields["failure"] = {{"verdict", record.failure}};
            return out;
        }
        for (const TracedExchange& x : exchanges) {
            // A read-back asked twice fails only when its second asking does.
            if (!ExchangeAccepted(x) && CommandOf(x) != Command::BootloaderReadPage) fail(Judge(x));
        }
        if (out.exit == ExitDone) {
            out.exit = record.failure.empty() ? ExitRefused : ExitLinkFailure;
            out.fields["failure"] = {{"verdict", record.failure.empty() ? words : record.failure}};
        }
        return out;
    }
    Json changes = Json::array();
    for (const TracedExchange& x : exchanges) {
        std::string words;
        const bool change = DescribeBoardChange(CommandOf(x), RequestPayloadOf(x), words);
        if (change) changes.push_back({{"change", words}, {"verdict", ExchangeVerdict(x)}});
        if (!ExchangeAccepted(x)) {
            fail(Judge(x));
            continue;
        }
        if (op.kind == OperationKind::Report && CommandOf(x) == Command::DeviceReport &&
            BoardOf(x) == op.board) {
            out.fields["record"] = ConfigurationRecord(x);
        }
        if (op.kind == OperationKind::List && CommandOf(x) == Command::DeviceListing) {
            out.fields["devices"] = ListingRecords(x);
        }
    }
    if (IsChange(op.kind)) out.fields["changes"] = changes;
    if (out.exit != ExitDone) return out;
    const bool missing = (IsChange(op.kind) && changes.empty()) ||
                         (op.kind == OperationKind::Report && !out.fields.contains("record")) ||
                         (op.kind == OperationKind::List && !out.fields.contains("devices"));
    if (missing) {
        // The console itself declined (a depth sensor keeps its serial
        // number, a board that is not a fluorometer has no type): the
        // transcript says why.
        out.exit = ExitRefused;
        out.fields["failure"] = {
            {"verdict", "the console sent no such request (see the transcript)"}};
    }
    return out;
}

const char* OutcomeWords(int exit) {
    switch (exit) {
        case ExitDone:
            return "done";
        case ExitBadJob:
            return "bad job";
        case ExitNotFound:
            return "instrument not found";
        case ExitRefused:
            return "refused";
        case ExitLinkFailure:
            return "link failure";
        case ExitVerifyFailure:
            return "verify failure";
        case ExitInterrupted:
            return "interrupted";
        default:
            return "station failure";
    }
}

Json OperationJson(const JobOperation& op) {
    Json json = {{"op", op.name}, {"device", DeviceName(op.device)}};
    if (op.kind != OperationKind::List) json["board"] = op.board;
    return json;
}

// The instrument's identity: the last listing of the sonde's boards in the
// job (the top menu lists them each time it is shown), with the serial
// numbers the job read or wrote.
Json Identity(const std::vector<TracedExchange>& exchanges, const Json& serials) {
    const TracedExchange* listing = nullptr;
    for (const TracedExchange& x : exchanges) {
        if (CommandOf(x) == Command::DeviceListing && ExchangeAccepted(x) && !x.request.empty() &&
            x.request[0] == AddressSonde) {
            listing = &x;
        }
    }
    if (listing == nullptr) return nullptr;
    Json boards = ListingRecords(*listing);
    Json identity = {{"model", nullptr}};
    for (Json& board : boards) {
        const std::string address = std::to_string(board["address"].get<int>());
        board["serial_number"] = serials.contains(address) ? serials[address] : Json(nullptr);
        if (board["address"] == 0) identity["model"] = board["type"];
    }
    identity["boards"] = boards;
    return identity;
}

}  // namespace

int32_t FirstOpenResult(const std::string& tracePath, uint64_t from) {
    const TraceCalls trace = ReadCalls(tracePath, from);
    for (std::size_t i = 0; i < trace.calls.size(); ++i) {
        if (trace.offsets[i] >= from && trace.calls[i].entry.call == ductra::TraceCall::Open) {
            return trace.calls[i].entry.result;
        }
    }
    return -3;
}

bool StepSucceeded(const std::string& tracePath, const EngineStep& step, const Job& job,
                   const StepWindow& window) {
    const TraceCalls trace = ReadCalls(tracePath, window.traceStart);
    const std::vector<TracedExchange> exchanges =
        ExchangesBetween(trace, window.traceStart, window.traceEnd);
    return Decode(job.operations[step.operation], exchanges).exit == ExitDone;
}

Json StoppedResult(const std::string& source, int exitCode, const std::string& error) {
    return {{"job", source},
            {"outcome", OutcomeWords(exitCode)},
            {"exit_code", exitCode},
            {"error", error}};
}

Json JobResult(const Job& job, const std::vector<EngineStep>& steps, const EngineRun& run,
               const JobContext& context, int& exitCode) {
    const TraceCalls trace = ReadCalls(context.traceFile, context.traceStart);
    exitCode = ExitDone;
    Json operations = Json::array();
    Json serials = Json::object();
    for (std::size_t i = 0; i < job.operations.size(); ++i) {
        const JobOperation& op = job.operations[i];
        Json json = OperationJson(op);
        std::vector<TracedExchange> exchanges;
        bool ran = false, all = true;
        for (std::size_t s = 0; s < steps.size(); ++s) {
            if (steps[s].operation != i) continue;
            const StepWindow& window = run.windows[s];
            if (!window.ran) {
                all = false;
                continue;
            }
            if (!ran) json["started"] = window.started;
            ran = true;
            json["ended"] = window.ended;
            for (TracedExchange& x : ExchangesBetween(trace, window.traceStart, window.traceEnd)) {
                exchanges.push_back(std::move(x));
            }
        }
        if (op.kind == OperationKind::Serial && op.nextSerial)
            json["serial_number"] = context.serial;
        if (!ran) {
            json["outcome"] = "not run";
            operations.push_back(json);
            continue;
        }
        OperationOutcome outcome = Decode(op, exchanges);
        if (!all && outcome.exit == ExitDone) outcome.exit = ExitInterrupted;
        if (!run.error.empty() && steps[run.errorStep].operation == i) outcome.exit = ExitBadJob;
        json.update(outcome.fields);
        if (op.kind == OperationKind::Download && i < context.newVersions.size()) {
            json["download"]["new_code_version"] = context.newVersions[i];
        }
        if (outcome.exit == ExitDone && op.kind == OperationKind::Report &&
            op.device == JobDevice::Sonde && json["record"].is_object()) {
            serials[std::to_string(op.board)] = json["record"]["serial_number"];
        }
        if (outcome.exit == ExitDone && op.kind == OperationKind::Serial &&
            op.device == JobDevice::Sonde) {
            serials[std::to_string(op.board)] = op.nextSerial ? context.serial : op.serial;
        }
        json["outcome"] = OutcomeWords(outcome.exit);
        if (exitCode == ExitDone) exitCode = outcome.exit;
        operations.push_back(json);
    }
    Json result = {{"job", job.source}, {"started", run.started}, {"ended", run.ended}};
    if (run.openResult != 0) {
        exitCode = ExitNotFound;
    } else if (!run.error.empty()) {
        exitCode = ExitBadJob;
        result["error"] = "operations[" + std::to_string(steps[run.errorStep].operation) + "] (" +
                          job.operations[steps[run.errorStep].operation].name + "): " + run.error;
    } else if (context.interrupts > 0 && exitCode == ExitDone &&
               std::any_of(run.windows.begin(), run.windows.end(),
                           [](const StepWindow& w) { return !w.ran; })) {
        exitCode = ExitInterrupted;
    }
    if (context.interrupts > 1) {
        for (Json& op : operations) {
            if (op.contains("download") && !op["download"]["completed"].get<bool>() &&
                op["download"]["erased"].get<bool>()) {
                op["outcome"] = OutcomeWords(ExitInterrupted);
                op["board_state"] = "erased, not programmed";
                exitCode = ExitInterrupted;
            }
        }
    }
    result["outcome"] = OutcomeWords(exitCode);
    result["exit_code"] = exitCode;
    if (!context.serial.empty()) result["serial_number"] = context.serial;
    result["instrument"] =
        Identity(ExchangesBetween(trace, context.traceStart, context.traceEnd), serials);
    result["operations"] = operations;
    result["transcript"] = context.transcriptPath;
    result["trace"] = context.tracePath;
    return result;
}
