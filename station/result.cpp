// Decoding a job's exchanges. The station records every pipe call of the
// run as it returns; each step's calls are those made while its command ran
// (its window), assembled into exchanges by the link layer's rules and read
// with the decoders quillon-trace --changes uses.
#include "station/result.h"

#include <algorithm>
#include <bit>
#include <ctime>
#include <span>

#include "firmware/download_record.h"
#include "firmware/image.h"
#include "link/frame.h"
#include "link/traced_exchange.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "service/change_record.h"
#include "service/service.h"

namespace {

using Json = nlohmann::json;

// The exchanges of the calls between two of the station's records.
std::vector<TracedExchange> ExchangesBetween(const std::vector<NumberedCall>& calls,
                                             std::size_t from, std::size_t to) {
    to = std::min(to, calls.size());
    from = std::min(from, to);
    const std::vector<NumberedCall> part(calls.begin() + static_cast<std::ptrdiff_t>(from),
                                         calls.begin() + static_cast<std::ptrdiff_t>(to));
    std::vector<TracedExchange> exchanges;
    for (TraceEvent& event : AssembleExchanges(part)) {
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

// A device time (seconds since 2000-01-01) as ISO 8601 UTC.
std::string DeviceTimeIso(uint32_t seconds) {
    constexpr std::time_t DeviceEpoch = 946684800;
    const std::time_t t = DeviceEpoch + static_cast<std::time_t>(seconds);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &t);
#else
    gmtime_r(&t, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string FieldText(std::span<const uint8_t> field) {
    std::string text;
    for (uint8_t c : field) {
        if (c == 0) break;
        text += static_cast<char>(c);
    }
    return text;
}

// A change's field and value, read from the request's payload within its
// bytes: dates as ISO 8601 UTC, intervals in seconds. Empty field when the
// payload is too short to hold the value.
void ChangeValue(uint8_t command, std::span<const uint8_t> payload, Json& change) {
    change["field"] = nullptr;
    change["value"] = nullptr;
    switch (command) {
        case Command::BoardReset:
            if (payload.size() < 2) return;
            change["field"] = "reset_level";
            change["value"] = payload[1];
            return;
        case Command::IdStringWrite:
            if (payload.size() < 2 * SerialFieldSize) return;
            change["field"] = "identification";
            change["value"] = {
                {"name", FieldText(payload.first(SerialFieldSize))},
                {"serial_number", FieldText(payload.subspan(SerialFieldSize, SerialFieldSize))}};
            return;
        case Command::SetSerialNumber:
            if (payload.size() < 2) return;
            change["field"] = "serial_number";
            change["value"] = FieldText(payload.subspan(2));
            return;
        case Command::SetBuildDate:
            if (payload.size() < 6) return;
            change["field"] = "build_date";
            change["value"] = DeviceTimeIso(ReadLe32(payload.data() + 2));
            return;
        case Command::SetMaintenance:
            if (payload.size() < 10) return;
            change["field"] = "maintenance_date";
            change["value"] = DeviceTimeIso(ReadLe32(payload.data() + 2));
            change["interval_s"] = ReadLe32(payload.data() + 6);
            return;
        case Command::SettingWrite:
            if (payload.size() < 8) return;
            if (payload[2] == SettingFluorometerType) {
                change["field"] = "fluorometer_type";
                change["value"] = ReadLe32(payload.data() + 4);
            } else if (payload[2] == SettingBatteryRange && payload.size() >= 12) {
                change["field"] = "battery_range";
                change["value"] = {std::bit_cast<float>(ReadLe32(payload.data() + 4)),
                                   std::bit_cast<float>(ReadLe32(payload.data() + 8))};
            } else {
                change["field"] = "setting_" + std::to_string(payload[2]);
                change["value"] = ReadLe32(payload.data() + 4);
            }
            return;
        case Command::BoardOperation:
            if (payload.size() < 4) return;
            if (ReadLe16(payload.data() + 2) == SelectorClearCalibrationLog) {
                change["field"] = "calibration_log";
                change["value"] = "cleared";
            } else if (ReadLe16(payload.data() + 2) == SelectorFormatLogMedia) {
                change["field"] = "log_media";
                change["value"] = "formatted";
            } else {
                change["field"] = "board_operation";
                change["value"] = ReadLe16(payload.data() + 2);
            }
            return;
        default:
            return;
    }
}

// Why the console declined an operation without sending it, from the code
// it reported as it declined.
std::string DeclinedReason(const JobOperation& op, const StepDecline& declined) {
    const std::string board = std::to_string(declined.board);
    switch (declined.decline) {
        case Decline::DepthSensorSerial:
            return "the console declined: board " + board +
                   " is a depth sensor, which keeps its serial number";
        case Decline::NotFluorometer:
            return "the console declined: board " + board + " is not a fluorometer";
        case Decline::ResetLevel:
            return "the console declined: reset level " + std::to_string(op.level) +
                   " is not allowed";
        case Decline::None:
            break;
    }
    return "the console sent no such request (see the transcript)";
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

OperationOutcome Decode(const JobOperation& op, const std::vector<TracedExchange>& exchanges,
                        const StepDecline& declined) {
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
        const bool completed = record.outcome == DownloadOutcome::Completed;
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
        if (record.outcome == DownloadOutcome::ReadBackDiffers) {
            out.exit = ExitVerifyFailure;
            out.fields["failure"] = {{"verdict", record.failure}};
            return out;
        }
        for (const TracedExchange& x : exchanges) {
            // A read-back asked twice fails only when its second asking does.
            if (!ExchangeAccepted(x) && CommandOf(x) != Command::BootloaderReadPage) fail(Judge(x));
        }
        if (out.exit == ExitDone) {
            // No exchange but read-backs failed, and the record holds a failed
            // read-back that no second asking cleared; otherwise the download
            // ended unfinished, nothing having failed.
            const bool failed = record.outcome == DownloadOutcome::StepFailed;
            out.exit = failed ? ExitLinkFailure : ExitRefused;
            out.fields["failure"] = {{"verdict", failed ? record.failure : words}};
        }
        return out;
    }
    Json changes = Json::array();
    for (const TracedExchange& x : exchanges) {
        std::string words;
        const bool change = DescribeBoardChange(CommandOf(x), RequestPayloadOf(x), words);
        if (change) {
            Json entry = {{"change", words}, {"verdict", ExchangeVerdict(x)}};
            ChangeValue(CommandOf(x), RequestPayloadOf(x), entry);
            changes.push_back(entry);
        }
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
    if (missing || declined.decline != Decline::None) {
        // The console itself declined (a depth sensor keeps its serial
        // number, a board that is not a fluorometer has no type), or sent
        // nothing for a reason the transcript shows.
        out.exit = ExitRefused;
        out.fields["failure"] = {{"verdict", DeclinedReason(op, declined)}};
    }
    return out;
}

}  // namespace

std::string BoardMismatch(const std::vector<NumberedCall>& calls, const JobOperation& op) {
    if (op.expectType.empty() && op.expectFamily < 0 && op.expectModel < 0 &&
        op.fromVersions.empty()) {
        return "";
    }
    std::string expected;
    if (!op.expectType.empty()) expected = "type " + op.expectType;
    if (op.expectFamily >= 0) {
        expected += (expected.empty() ? "" : ", ") + std::string("family ") +
                    std::to_string(op.expectFamily);
    }
    if (op.expectModel >= 0) {
        expected +=
            (expected.empty() ? "" : ", ") + std::string("model ") + std::to_string(op.expectModel);
    }
    if (!op.fromVersions.empty()) {
        std::string versions;
        for (const std::string& v : op.fromVersions)
            versions += (versions.empty() ? "" : " or ") + v;
        expected += (expected.empty() ? "" : ", ") + std::string("code version ") + versions;
    }
    const std::string head = "board " + std::to_string(op.board) + ": the job expects " + expected;
    const TracedExchange* listing = nullptr;
    const std::vector<TracedExchange> exchanges = ExchangesBetween(calls, 0, calls.size());
    for (const TracedExchange& x : exchanges) {
        if (CommandOf(x) == Command::DeviceListing && ExchangeAccepted(x) && !x.request.empty() &&
            x.request[0] == AddressSonde) {
            listing = &x;
        }
    }
    const Json boards = listing != nullptr ? ListingRecords(*listing) : Json::array();
    for (const Json& board : boards) {
        if (board["address"] != op.board) continue;
        const std::string type = board["type"].get<std::string>();
        const int family = board["family"].get<int>(), model = board["model"].get<int>();
        const std::string version = board["code_version"].get<std::string>();
        bool versionKnown = op.fromVersions.empty();
        for (const std::string& v : op.fromVersions) versionKnown = versionKnown || v == version;
        if ((op.expectType.empty() || op.expectType == type) &&
            (op.expectFamily < 0 || op.expectFamily == family) &&
            (op.expectModel < 0 || op.expectModel == model) && versionKnown) {
            return "";
        }
        return head + "; the board is type " + (type.empty() ? "unknown" : type) + ", family " +
               std::to_string(family) + ", model " + std::to_string(model) + ", code version " +
               version;
    }
    return head + "; the listing names no such board";
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
        case ExitMismatch:
            return "not as expected";
        default:
            return "station failure";
    }
}

namespace {

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

int32_t FirstOpenResult(const std::vector<NumberedCall>& calls, std::size_t from) {
    for (std::size_t i = from; i < calls.size(); ++i) {
        if (calls[i].entry.call == ductra::TraceCall::Open) return calls[i].entry.result;
    }
    return -3;
}

bool StepSucceeded(const std::vector<NumberedCall>& calls, const EngineStep& step, const Job& job,
                   const StepWindow& window) {
    return Decode(job.operations[step.operation],
                  ExchangesBetween(calls, window.callStart, window.callEnd), window.declined)
               .exit == ExitDone;
}

namespace {

Json Head(const RunRecord& record) {
    Json head = {{"format", ResultFormat},
                 {"run_id", record.runId},
                 {"station", record.station},
                 {"job", record.job}};
    if (!record.labels.is_null()) head["labels"] = record.labels;
    return head;
}

}  // namespace

Json StoppedResult(const RunRecord& record, int exitCode, const std::string& error,
                   const std::string& file) {
    Json result = Head(record);
    result["outcome"] = OutcomeWords(exitCode);
    result["exit_code"] = exitCode;
    result["error"] = error;
    if (!file.empty()) result["file"] = file;
    return result;
}

Json JobResult(const RunRecord& record, const Job& job, const std::vector<EngineStep>& steps,
               const EngineRun& run, const JobContext& context, int& exitCode) {
    const std::vector<NumberedCall>& calls = *context.calls;
    exitCode = ExitDone;
    Json operations = Json::array();
    Json serials = Json::object();
    for (std::size_t i = 0; i < job.operations.size(); ++i) {
        const JobOperation& op = job.operations[i];
        Json json = OperationJson(op);
        std::vector<TracedExchange> exchanges;
        bool ran = false, all = true;
        int64_t durationMs = 0;
        std::string refused;
        bool mismatch = false;
        StepDecline declined;
        for (std::size_t s = 0; s < steps.size(); ++s) {
            if (steps[s].operation != i) continue;
            const StepWindow& window = run.windows[s];
            if (!window.refused.empty()) refused = window.refused;
            mismatch = mismatch || window.mismatch;
            if (window.declined.decline != Decline::None) declined = window.declined;
            if (!window.ran) {
                all = false;
                continue;
            }
            if (!ran) json["started"] = window.started;
            ran = true;
            json["ended"] = window.ended;
            durationMs += window.durationMs;
            for (TracedExchange& x : ExchangesBetween(calls, window.callStart, window.callEnd)) {
                exchanges.push_back(std::move(x));
            }
        }
        if (op.kind == OperationKind::Serial && op.nextSerial)
            json["serial_number"] = context.serial;
        if (op.kind == OperationKind::Download && i < context.images.size()) {
            const ImageRecord& image = context.images[i];
            json["image"] = {{"name", image.name},
                             {"bytes", image.bytes},
                             {"sha256", image.sha256},
                             {"code_version", image.codeVersion}};
        }
        if (!refused.empty() && !ran) {
            // The station refused the operation before anything was sent.
            const int refusal = mismatch ? ExitMismatch : ExitRefused;
            json["outcome"] = OutcomeWords(refusal);
            json["failure"] = {{"verdict", refused}};
            if (exitCode == ExitDone) exitCode = refusal;
            operations.push_back(json);
            continue;
        }
        if (!ran) {
            json["outcome"] = "not run";
            operations.push_back(json);
            continue;
        }
        json["duration_ms"] = durationMs;
        OperationOutcome outcome = Decode(op, exchanges, declined);
        if (!all && outcome.exit == ExitDone) outcome.exit = ExitInterrupted;
        if (!run.error.empty() && steps[run.errorStep].operation == i) outcome.exit = ExitBadJob;
        json.update(outcome.fields);
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
    Json result = Head(record);
    result["started"] = run.started;
    result["ended"] = run.ended;
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
    if (!context.serial.empty()) {
        result["serial_number"] = context.serial;
        result["serial_series"] = context.serialSeries;
    }
    Json instrument =
        Identity(ExchangesBetween(calls, context.callStart, context.callEnd), serials);
    // After a download, the version each board reports in the job's last
    // listing: the image's version only when the board runs it.
    for (Json& op : operations) {
        if (!op.contains("download")) continue;
        Json version = nullptr;
        if (instrument.is_object()) {
            for (const Json& board : instrument["boards"]) {
                if (board["address"] == op["board"]) version = board["code_version"];
            }
        }
        op["download"]["new_code_version"] = version;
    }
    if (instrument.is_object()) {
        instrument["serial_number"] = serials.contains("0") ? serials["0"] : Json(nullptr);
    }
    result["instrument"] = instrument;
    result["operations"] = operations;
    result["transcript"] = context.transcriptPath;
    result["trace"] = context.tracePath;
    return result;
}
