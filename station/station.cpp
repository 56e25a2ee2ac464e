// The station's program: its options, the files around a job (the result,
// the results file, transcript, trace, firmware folder, the serial-number
// series), the job run through the console's engine, the result, and
// --repeat with the wait for the next instrument. Every file the station
// writes is opened before anything is sent; every exit has its record.
// Ctrl-C, SIGTERM and SIGHUP: between instruments they end the run; during a
// job the current operation is finished (a download to its end) and no
// further one is started; a second one stops a download after the exchange
// under way, and the board is reported erased and not programmed.
#include "station/station.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <sys/locking.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "firmware/image.h"
#include "link/frame.h"
#include "link/link.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "station/engine.h"
#include "station/job.h"
#include "station/result.h"
#include "station/serial_series.h"
#include "station/sha256.h"
#include "station/sockets.h"
#include "station/tally.h"
#include "terminal/console_io.h"
#include "usbpipe/ductra.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* Usage =
    "usage: quillon-station [OPTIONS] run JOB.json\n"
    "       quillon-station --check JOB.json  (the job and its images; no instrument)\n"
    "       quillon-station [OPTIONS] OPERATION [--device D] [--board N] [FIELD VALUE ...]\n"
    "  OPERATION   list, report, serial, dates, reset, clear-log, format-log-media,\n"
    "              setting or download, with the fields of a job file's operation\n"
    "              (--serial X or --next, --level N, --interval-days N, --fluorometer N,\n"
    "              --battery nobatt|ibp, --image FILE)\n"
    "  --output FILE          the result (one JSON document per job) goes to FILE\n"
    "  --logs DIR             the transcripts and the trace go to DIR (default .)\n"
    "  --repeat[=N]           after a job, wait for the instrument to be removed and the\n"
    "                         next one attached, and run the job again (N: N instruments)\n"
    "  --results FILE         append one JSON line per instrument to FILE\n"
    "  --serials FILE         serial numbers for --next, one per line\n"
    "  --serial-template T    serial numbers for --next: T with {n} or {n:W} replaced by a\n"
    "                         counter (W digits); --serial-start N gives its first value\n"
    "  --state DIR            the serial-number counters (default: the user's state folder)\n"
    "  --station-name NAME    the station's name in each result\n"
    "  --operator NAME        the operator's name in each result\n"
    "  --progress             each operation's start and end, and a download's blocks, on\n"
    "                         standard error (the default when it is a terminal)\n"
    "  --socket NAME=PORT     a test socket: the instrument at USB port PORT (repeatable);\n"
    "                         each socket runs the job (and --repeat) side by side, one\n"
    "                         process each, with a status board on standard error\n"
    "  exit codes: 0 done, 1 station failure, 2 bad job, 3 instrument not found,\n"
    "              4 refused, 5 link failure, 6 verify failure, 7 interrupted,\n"
    "              8 not the board or image the job expects\n";

// Interrupts (Ctrl-C, SIGTERM, SIGHUP) since the program started.
volatile std::sig_atomic_t Interrupts = 0;

extern "C" void OnInterrupt(int signal) {
    Interrupts = Interrupts + 1;
    // The Windows runtime restores the default after each signal.
    std::signal(signal, OnInterrupt);
}

// The progress on standard error: each operation's start and end and, during
// a download, the blocks written so far, counted from the station's own pipe
// record. On a terminal the block count is one line that updates; otherwise
// a line at most every 2 s.
struct ProgressState {
    bool on = false;
    bool terminal = false;
    bool inPlace = false;     // a block count ends the terminal's line
    bool everyBlock = false;  // a socket's station: each block, with the blocks in all
    long blockBytes = 0;      // the data bytes of the download's image
    long operation = -1;      // the operation under way, or -1
    std::string label;        // "operation 4 of 5 (download, board 3)"
    long blocks = 0;
    std::chrono::steady_clock::time_point last;
};
ProgressState Shown;

void EndInPlaceLine() {
    if (!Shown.inPlace) return;
    std::fputc('\n', stderr);
    Shown.inPlace = false;
}

void Say(const std::string& message) {
    EndInPlaceLine();
    std::fprintf(stderr, "quillon-station: %s\n", message.c_str());
    std::fflush(stderr);
}

bool StandardErrorIsATerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

void OperationStarted(long operation, long operations, const JobOperation& op) {
    if (!Shown.on) return;
    Shown.operation = operation;
    Shown.label = "operation " + std::to_string(operation + 1) + " of " +
                  std::to_string(operations) + " (" + op.name + ", " + DeviceName(op.device) +
                  " board " + std::to_string(op.board) + ")";
    Shown.blocks = 0;
    Shown.blockBytes = 0;
    if (op.kind == OperationKind::Download) {
        // The image's data: its bytes after the 4 of its header.
        std::error_code unknown;
        const auto bytes = fs::file_size(fs::u8path(op.image), unknown);
        if (!unknown && bytes > 4) Shown.blockBytes = static_cast<long>(bytes - 4);
    }
    Shown.last = std::chrono::steady_clock::now();
    Say(Shown.label + ": started");
}

void OperationEnded(const std::string& how) {
    if (!Shown.on || Shown.operation < 0) return;
    const std::string blocks =
        Shown.blocks > 0 ? ", " + std::to_string(Shown.blocks) + " blocks written" : "";
    Say(Shown.label + ": " + how + blocks);
    Shown.operation = -1;
}

// A block written during the operation under way (a write-page request sent).
void BlockSent(std::size_t blockSize) {
    if (!Shown.on || Shown.operation < 0) return;
    ++Shown.blocks;
    const std::string line = Shown.label + ": block " + std::to_string(Shown.blocks);
    const auto now = std::chrono::steady_clock::now();
    if (Shown.everyBlock) {
        const long size = static_cast<long>(blockSize);
        const long all = size > 0 ? (Shown.blockBytes + size - 1) / size : 0;
        Say(line + " of " + std::to_string(all));
    } else if (Shown.terminal) {
        std::fprintf(stderr, "\rquillon-station: %s", line.c_str());
        std::fflush(stderr);
        Shown.inPlace = true;
    } else if (now - Shown.last >= std::chrono::seconds(2)) {
        Say(line);
        Shown.last = now;
    }
}

struct Options {
    std::string output;
    std::string logs = ".";
    bool repeat = false;
    bool progress = false;
    bool check = false;    // --check: the job and its images only
    long repeatCount = 0;  // 0: until interrupted
    std::string results;
    std::string serials;
    std::string serialTemplate;
    long serialStart = 1;
    bool serialStartGiven = false;
    std::string state;
    std::string stationName;
    std::string operatorName;
    std::string jobFile;
    std::vector<std::string> operation;       // the command-line operation
    std::vector<std::string> sockets;         // --socket NAME=PORT, as given
    std::string socketChild;                  // the socket a station runs for its parent
    std::vector<std::string> childArguments;  // the options without --socket
};

int ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    int i = 1;
    auto value = [&](const char* name, std::string& into) {
        if (i + 1 >= argc) {
            error = std::string(name) + ": expected a value";
            return false;
        }
        into = argv[++i];
        if (std::strcmp(name, "--socket") != 0 && std::strcmp(name, "--socket-child") != 0) {
            o.childArguments.emplace_back(into);
        }
        return true;
    };
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        std::string text;
        if (a == "--socket") {
            if (!value("--socket", text)) return 1;
            o.sockets.push_back(text);
            continue;
        }
        if (a == "--socket-child") {
            if (!value("--socket-child", o.socketChild)) return 1;
            if (!IsSocketName(o.socketChild)) {
                error = "--socket-child " + o.socketChild + ": expected a plain word";
                return 1;
            }
            continue;
        }
        o.childArguments.emplace_back(argv[i]);
        if (a == "--output") {
            if (!value("--output", o.output)) return 1;
        } else if (a == "--logs") {
            if (!value("--logs", o.logs)) return 1;
        } else if (a == "--results") {
            if (!value("--results", o.results)) return 1;
        } else if (a == "--serials") {
            if (!value("--serials", o.serials)) return 1;
        } else if (a == "--serial-template") {
            if (!value("--serial-template", o.serialTemplate)) return 1;
        } else if (a == "--state") {
            if (!value("--state", o.state)) return 1;
        } else if (a == "--station-name") {
            if (!value("--station-name", o.stationName)) return 1;
        } else if (a == "--operator") {
            if (!value("--operator", o.operatorName)) return 1;
        } else if (a == "--serial-start") {
            if (!value("--serial-start", text)) return 1;
            char* end = nullptr;
            errno = 0;
            o.serialStart = std::strtol(text.c_str(), &end, 10);
            o.serialStartGiven = true;
            if (text.empty() || *end != '\0' || o.serialStart < 0 || errno != 0) {
                error = "--serial-start: expected a whole number";
                return 1;
            }
        } else if (a == "--check") {
            o.check = true;
            if (!value("--check", o.jobFile) || i + 1 != argc) {
                if (error.empty()) error = "--check: expected one job file";
                return 1;
            }
        } else if (a == "--progress") {
            o.progress = true;
        } else if (a == "--repeat") {
            o.repeat = true;
        } else if (a.rfind("--repeat=", 0) == 0) {
            o.repeat = true;
            char* end = nullptr;
            o.repeatCount = std::strtol(a.c_str() + 9, &end, 10);
            if (*end != '\0' || o.repeatCount < 1) {
                error = "--repeat=N: expected a number of instruments, 1 or more";
                return 1;
            }
        } else if (a == "run") {
            if (!value("run", o.jobFile) || i + 1 != argc) {
                if (error.empty()) error = "run: expected one job file";
                return 1;
            }
        } else if (!a.empty() && a[0] != '-') {
            o.childArguments.pop_back();
            for (; i < argc; ++i) {
                o.operation.emplace_back(argv[i]);
                o.childArguments.emplace_back(argv[i]);
            }
        } else {
            error = "unknown option " + a;
            return 1;
        }
    }
    if (o.jobFile.empty() && o.operation.empty()) {
        error = "expected run JOB.json or an operation";
        return 1;
    }
    if (!o.serials.empty() && !o.serialTemplate.empty()) {
        error = "--serials and --serial-template: expected one of them";
        return 1;
    }
    return 0;
}

// The stream the results go to: the program's standard output as it was
// before the transcripts took it over.
std::FILE* ResultStream = nullptr;

// The instrument the job runs on, as the survey of the bus names it (its
// port and USB serial), or null while there is none or the survey cannot
// tell; and the socket the station runs for its parent, or "".
Json Device = nullptr;
std::string SocketName;

// The instrument an open takes among those attached: the one the choice
// (DUCTRA_DEVICE's value, "" for none) names, or the last one found, as the
// library chooses.
Json ChosenDevice(const std::vector<AttachedInstrument>& attached, const std::string& choice) {
    auto named = [](const std::string& port, const std::string& serial) {
        return Json{{"port", port.empty() ? Json(nullptr) : Json(port)},
                    {"usb_serial", serial.empty() ? Json(nullptr) : Json(serial)}};
    };
    for (auto it = attached.rbegin(); it != attached.rend(); ++it) {
        if (choice.empty() || choice == "port=" + it->port ||
            (!it->usbSerial.empty() && choice == "serial=" + it->usbSerial)) {
            return named(it->port, it->usbSerial);
        }
    }
    if (choice.rfind("port=", 0) == 0) return named(choice.substr(5), "");
    if (choice.rfind("serial=", 0) == 0) return named("", choice.substr(7));
    return nullptr;
}

int KeepStandardOutput() {
    std::fflush(stdout);
#if defined(_WIN32)
    const int fd = _dup(_fileno(stdout));
    ResultStream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
#else
    const int fd = dup(fileno(stdout));
    ResultStream = fd >= 0 ? fdopen(fd, "w") : nullptr;
#endif
    return ResultStream != nullptr ? 0 : 1;
}

void SetTraceVariable(const fs::path& trace) {
#if defined(_WIN32)
    _wputenv_s(L"DUCTRA_TRACE", trace.wstring().c_str());
#else
    setenv("DUCTRA_TRACE", trace.c_str(), 1);
#endif
}

std::string SystemReason() {
    return std::strerror(errno);
}

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A run id: a random (version 4) UUID.
std::string NewRunId() {
    std::random_device source;
    uint8_t bytes[16];
    for (std::size_t i = 0; i < sizeof bytes; i += 4) {
        const uint32_t word = source();
        for (std::size_t b = 0; b < 4; ++b) bytes[i + b] = static_cast<uint8_t>(word >> (8 * b));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    std::string id;
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        id += hex;
        if (i == 3 || i == 5 || i == 7 || i == 9) id += '-';
    }
    return id;
}

std::string HostName() {
#if defined(_WIN32)
    const char* name = std::getenv("COMPUTERNAME");
    return name != nullptr ? name : "";
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
#endif
}

// The folder of the serial-number counters when --state does not name one.
std::string DefaultStateFolder() {
#if defined(_WIN32)
    const char* base = std::getenv("LOCALAPPDATA");
    return base != nullptr ? (fs::u8path(base) / "quillon-station").string() : "quillon-station";
#else
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
        return (fs::path(state) / "quillon-station").string();
    }
    const char* home = std::getenv("HOME");
    return (fs::path(home != nullptr ? home : ".") / ".local/state/quillon-station").string();
#endif
}

bool ReadBytes(const fs::path& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream text;
    text << in.rdbuf();
    bytes = text.str();
    return true;
}

// An image is checked as the console checks it when it opens it, before
// anything is sent; the console's own words say why it is refused.
int CheckImage(const std::string& path, ImageRecord& image, std::string& error) {
    std::FILE* words = std::tmpfile();
    SetConsoleStreams(nullptr, words);
    int refused = OpenFirmwareImage(path.c_str());
    uint16_t word = 0;
    if (refused == 0) {
        word = ReadImageHeader();
        CloseFirmwareImage();
    }
    SetConsoleStreams(nullptr, nullptr);
    if (words == nullptr) return refused;
    std::rewind(words);
    std::string text;
    for (int c = std::getc(words); c != EOF; c = std::getc(words)) text += static_cast<char>(c);
    std::fclose(words);
    if (refused != 0) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        const std::size_t first = text.find_first_not_of(' ');
        error = "image " + path +
                " refused: " + (first == std::string::npos ? text : text.substr(first));
        return 1;
    }
    const CodeVersionParts parts = CodeVersion(word);
    image.codeVersion = std::to_string(parts.major) + "." + std::to_string(parts.minor);
    std::string bytes;
    if (!ReadBytes(fs::u8path(path), bytes)) {
        error = "image " + path + " refused: cannot be read: " + SystemReason();
        return 1;
    }
    image.name = Utf8(fs::u8path(path).filename());
    image.bytes = bytes.size();
    image.sha256 = Sha256Hex(bytes);
    return 0;
}

// The station's own record of the pipe: every call as it returned.
struct PipeRecord {
    std::vector<NumberedCall> calls;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};
PipeRecord Pipe;

void RecordPipeCall(PipeCall call, int32_t result, const uint8_t* bytes, uint32_t count) {
    NumberedCall numbered;
    numbered.line = static_cast<uint32_t>(Pipe.calls.size() + 1);
    ductra::TraceEntry& e = numbered.entry;
    e.call = call == PipeCall::Open      ? ductra::TraceCall::Open
             : call == PipeCall::Send    ? ductra::TraceCall::Send
             : call == PipeCall::Receive ? ductra::TraceCall::Receive
                                         : ductra::TraceCall::Close;
    e.micros = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - Pipe.start)
                                         .count());
    e.result = result;
    e.length = count;
    if (bytes != nullptr) e.bytes.assign(bytes, bytes + count);
    if (call == PipeCall::Send && result == 0 && bytes != nullptr && count >= FrameHeaderSize &&
        bytes[1] == Command::BootloaderWritePage) {
        // A write request carries its block and 4 bytes of address.
        BlockSent(count >= FrameOverhead + 4 ? count - FrameOverhead - 4 : 0);
    }
    Pipe.calls.push_back(std::move(numbered));
}

// The files every document of the run goes to, opened before anything is sent.
struct RecordFiles {
    std::string output;   // the result's file, or empty: standard output
    std::string results;  // the results file, or empty
    int resultsFd = -1;
};

int OpenResults(const std::string& path) {
#if defined(_WIN32)
    return _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
#endif
}

// Whether the results file ends inside a line (a line cut short before).
bool EndsInsideALine(const std::string& path) {
    std::ifstream in(fs::u8path(path), std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0) return false;
    in.seekg(-1, std::ios::end);
    return in.get() != '\n';
}

// Appends the line in one write: it is in the file whole or the write is
// reported as failed. A line cut short before (a full disk) is ended first,
// so that the reader can tell it incomplete and this one stays whole.
int AppendLine(RecordFiles& files, const std::string& line, std::string& error) {
    LockResultsFile(files.resultsFd, true);
    const std::string text = (EndsInsideALine(files.results) ? "\n" : "") + line + "\n";
#if defined(_WIN32)
    const int written = _write(files.resultsFd, text.data(), static_cast<unsigned>(text.size()));
    const bool synced = _commit(files.resultsFd) == 0;
#else
    const ssize_t written = write(files.resultsFd, text.data(), text.size());
    const bool synced = fsync(files.resultsFd) == 0;
#endif
    LockResultsFile(files.resultsFd, false);
    if (written < 0) {
        error = "the results file " + files.results + " cannot be written: " + SystemReason();
        return 1;
    }
    if (static_cast<std::size_t>(written) != text.size()) {
        error = "the results file " + files.results + " took " + std::to_string(written) +
                " of the line's " + std::to_string(text.size()) + " bytes";
        return 1;
    }
    if (!synced) {
        error = "the results file " + files.results + " cannot be flushed: " + SystemReason();
        return 1;
    }
    return 0;
}

int WriteOutput(const std::string& path, const std::string& text, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const bool written = file != nullptr &&
                         std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         std::fflush(file) == 0;
    if (file == nullptr || !written) {
        error = "the result file " + path + " cannot be written: " + SystemReason();
    }
    if (file != nullptr && std::fclose(file) != 0 && written) {
        error = "the result file " + path + " cannot be written: " + SystemReason();
        return 1;
    }
    return written ? 0 : 1;
}

// The document's text. A name that is not UTF-8 (a file's, a folder's) is
// kept with its bad bytes replaced: the record is written all the same.
std::string Text(const Json& document, int indent = -1) {
    return document.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// A document that could not be kept whole becomes a station failure.
void BecomeStationFailure(Json& document, const std::string& error, const std::string& file) {
    document["outcome"] = OutcomeWords(ExitStationFailure);
    document["exit_code"] = ExitStationFailure;
    document["error"] = error;
    document["file"] = file;
}

// Writes the document to the results file (one line) and to the result's
// file or standard output; the document's exit code, 1 when a file failed
// (standard output then carries the document with the failure).
int WriteDocument(Json document, RecordFiles& files) {
    std::string error;
    document["device"] = Device;
    if (!SocketName.empty()) document["socket"] = SocketName;
    if (files.resultsFd >= 0 && AppendLine(files, Text(document), error) != 0) {
        Say(error);
        BecomeStationFailure(document, error, files.results);
    }
    bool toStandardOutput = files.output.empty();
    if (!files.output.empty() && WriteOutput(files.output, Text(document, 2) + "\n", error) != 0) {
        Say(error);
        BecomeStationFailure(document, error, files.output);
        toStandardOutput = true;
    }
    if (toStandardOutput) {
        std::fprintf(ResultStream, "%s\n", Text(document).c_str());
        if (std::fflush(ResultStream) != 0) {
            Say("standard output cannot be written: " + SystemReason());
            return ExitStationFailure;
        }
    }
    return document["exit_code"].get<int>();
}

// Opens the result's file and the results file; 0, or 1 with error and the file.
int OpenRecordFiles(const Options& o, RecordFiles& files, std::string& error, std::string& file) {
    if (!o.output.empty()) {
        std::FILE* probe = std::fopen(o.output.c_str(), "ab");
        if (probe == nullptr) {
            error = "the result file " + o.output + " cannot be opened: " + SystemReason();
            file = o.output;
            return 1;
        }
        std::fclose(probe);
        files.output = o.output;
    }
    if (!o.results.empty()) {
        files.resultsFd = OpenResults(o.results);
        if (files.resultsFd < 0) {
            error = "the results file " + o.results + " cannot be opened: " + SystemReason();
            file = o.results;
            return 1;
        }
        files.results = o.results;
    }
    return 0;
}

// The run's state shared with the engine's hooks: their context.
struct Station {
    const Job* job = nullptr;
    const std::vector<EngineStep>* steps = nullptr;
    fs::path firmwareFolder;  // the "firmware" folder of the job's working folder
    std::size_t callStart = 0;
    std::sig_atomic_t interruptBase = 0;
    bool finishingSaid = false;
    std::vector<std::size_t> mismatched;  // steps refused as not the board expected
    std::string workFailure;              // why the image could not be put in the working folder
};

Station* Running = nullptr;  // for the request gate, which takes no context

int JobInterrupts(const Station& station) {
    return static_cast<int>(Interrupts - station.interruptBase);
}

// The gate before the pipe: open until the second interrupt of a job.
bool GateOpen() {
    if (Running == nullptr) return true;
    const int presses = JobInterrupts(*Running);
    if (presses >= 1 && !Running->finishingSaid) {
        Running->finishingSaid = true;
        Say("interrupted: finishing the operation under way (a download to its end); "
            "Ctrl-C again stops a download after the current block, leaving the board erased");
    }
    return presses < 2;
}

Station& Of(void* context) {
    return *static_cast<Station*>(context);
}

bool StopRequested(void* context) {
    return JobInterrupts(Of(context)) > 0;
}

std::size_t CallsMade(void*) {
    return Pipe.calls.size();
}

// Before a download step: the firmware folder holds its image alone, so the
// catalogue's one entry is the one the step chooses. A battery range is
// chosen only on a model 4 sonde: on another, the job's choice would be
// written over with the default, so the step is refused before it runs.
std::string Refusal(Station& station, const JobOperation& op);

std::string BeforeStep(void* context, std::size_t step) {
    Station& station = Of(context);
    const std::size_t operation = (*station.steps)[step].operation;
    const JobOperation& op = station.job->operations[operation];
    if (Shown.operation != static_cast<long>(operation)) {
        OperationStarted(static_cast<long>(operation),
                         static_cast<long>(station.job->operations.size()), op);
    }
    std::string refused = BoardMismatch(Pipe.calls, op);
    if (!refused.empty()) {
        station.mismatched.push_back(step);
        Say("not the board the job expects: " + refused + "; nothing written");
    } else {
        refused = Refusal(station, op);
    }
    if (!refused.empty()) OperationEnded("refused");
    return refused;
}

// Why the station refuses the operation's step before it runs, or "".
std::string Refusal(Station& station, const JobOperation& op) {
    if (op.kind == OperationKind::Setting && op.board == 0 && op.battery != 0 && SondeModel != 4) {
        return "the sonde is a model " + std::to_string(SondeModel) +
               ", whose battery range the console sets without asking: the job's battery "
               "choice cannot be given";
    }
    if (op.kind != OperationKind::Download) return "";
    std::error_code ignored;
    fs::remove_all(station.firmwareFolder, ignored);
    // The console programs the copy: one cut short by a full disk would be
    // programmed as the image, its tail missing.
    const fs::path image = fs::u8path(op.image);
    const fs::path copy = station.firmwareFolder / image.filename();
    std::error_code failed;
    fs::create_directories(station.firmwareFolder, failed);
    if (!failed) fs::copy_file(image, copy, fs::copy_options::overwrite_existing, failed);
    const std::uintmax_t copied = failed ? 0 : fs::file_size(copy, failed);
    const std::uintmax_t whole = failed ? 0 : fs::file_size(image, failed);
    if (failed || copied != whole) {
        station.workFailure = "cannot put the image " + op.image + " in the working folder: " +
                              (failed ? failed.message() : "the copy was cut short");
        return station.workFailure;
    }
    return "";
}

int32_t OpenedAtStartUp(void* context) {
    return FirstOpenResult(Pipe.calls, Of(context).callStart);
}

bool StepDone(void* context, std::size_t step, const StepWindow& window) {
    const Station& station = Of(context);
    const std::vector<EngineStep>& steps = *station.steps;
    const bool succeeded = StepSucceeded(Pipe.calls, steps[step], *station.job, window);
    if (!succeeded) {
        OperationEnded("failed");
    } else if (step + 1 == steps.size() || steps[step + 1].operation != steps[step].operation) {
        OperationEnded("done");
    }
    return succeeded;
}

// Waits for the instrument to leave the bus and the next one to arrive, by
// opening the pipe every half second. False when an interrupt ends the wait.
bool WaitForNextInstrument(bool leaveFirst) {
    DuctraClose();
    Say(leaveFirst ? "remove the instrument and attach the next one"
                   : "attach the first instrument");
    const std::sig_atomic_t before = Interrupts;
    while (leaveFirst && Interrupts == before) {
        if (DuctraOpen() != 0) break;
        DuctraClose();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    while (Interrupts == before) {
        if (DuctraOpen() == 0) {
            DuctraClose();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
}

// The exit of a run of several instruments: the worst outcome, by this order.
int Severity(int exitCode) {
    static constexpr int Order[] = {ExitDone,          ExitInterrupted, ExitNotFound,
                                    ExitRefused,       ExitMismatch,    ExitLinkFailure,
                                    ExitVerifyFailure, ExitBadJob,      ExitStationFailure};
    for (int i = 0; i < 9; ++i) {
        if (Order[i] == exitCode) return i;
    }
    return 9;
}

// The files and folder of a run, removed or closed on every exit.
struct RunFolders {
    fs::path work;
    ~RunFolders() {
        std::error_code ignored;
        if (!work.empty()) fs::remove_all(work, ignored);
    }
};

}  // namespace

int StationMain(int argc, char** argv, ProbeFunction probe, SurveyFunction survey) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(Usage, stdout);
            return ExitDone;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quillon-station %s\n", QUILLON_STATION_VERSION);
            return ExitDone;
        }
    }
    if (KeepStandardOutput() != 0) return ExitStationFailure;
    // Interrupts are counted from the start: none ends the station before
    // its record is written.
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#if !defined(_WIN32)
    std::signal(SIGHUP, OnInterrupt);
    // A file-size limit reads as a full disk: a short write, never a signal.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    Options o;
    RecordFiles files;
    RunRecord record;
    record.runId = NewRunId();
    std::string error, file;
    const int parsed = ParseOptions(argc, argv, o, error);
    // The program's name, the same on every platform: a ".exe" is left out.
    fs::path program = fs::path(argv[0]).filename();
    if (program.extension() == ".exe" || program.extension() == ".EXE") program = program.stem();
    record.station = {{"host", HostName()},
                      {"program", Utf8(program)},
                      {"version", QUILLON_STATION_VERSION},
                      {"name", o.stationName.empty() ? Json(nullptr) : Json(o.stationName)},
                      {"operator", o.operatorName.empty() ? Json(nullptr) : Json(o.operatorName)}};
    record.job = {{"path", o.jobFile.empty() ? "command line" : o.jobFile}, {"sha256", nullptr}};
    if (OpenRecordFiles(o, files, error, file) != 0) {
        Say(error);
        return WriteDocument(StoppedResult(record, ExitStationFailure, error, file),
                             files = RecordFiles{});
    }
    auto refuse = [&](const std::string& why) {
        Say("bad job: " + why);
        return WriteDocument(StoppedResult(record, ExitBadJob, why), files);
    };
    auto fail = [&](const std::string& why, const std::string& named) {
        Say(why);
        return WriteDocument(StoppedResult(record, ExitStationFailure, why, named), files);
    };
    if (parsed != 0) {
        std::fputs(Usage, stderr);
        return refuse(error);
    }
    SocketName = o.socketChild;
#if !defined(_WIN32)
    // A socket's station whose parent is gone finishes its job and keeps its
    // record in the results file: its progress then fails to be written,
    // never ending it by a signal.
    if (!SocketName.empty()) std::signal(SIGPIPE, SIG_IGN);
#endif
    std::vector<TestSocket> sockets;
    if (!o.sockets.empty()) {
        const char* device = std::getenv("DUCTRA_DEVICE");
        if (ParseSockets(o.sockets, sockets, error) != 0) return refuse(error);
        if (device != nullptr && *device != '\0') {
            return refuse("--socket: DUCTRA_DEVICE=" + std::string(device) +
                          " is set too; each socket names its own instrument");
        }
        if (!o.output.empty()) {
            return refuse(
                "--socket with --output: each instrument has its result; expected "
                "--results FILE for them all");
        }
        if (o.check) return refuse("--socket with --check: a check touches no instrument");
        if (!o.socketChild.empty()) return refuse("--socket with --socket-child: expected one");
        if (!o.repeat) {
            const std::vector<AttachedInstrument> attached = survey();
            for (const TestSocket& socket : sockets) {
                bool found = attached.empty();
                std::string ports;
                for (const AttachedInstrument& instrument : attached) {
                    found = found || instrument.port == socket.port;
                    ports += (ports.empty() ? "" : ", ") + instrument.port;
                }
                if (!found) {
                    return refuse("--socket " + socket.name + "=" + socket.port +
                                  ": no instrument at port " + socket.port +
                                  " (attached: " + ports + ")");
                }
            }
        }
    }
    Job job;
    if (!o.jobFile.empty()) {
        std::string bytes;
        if (ReadBytes(fs::u8path(o.jobFile), bytes)) record.job["sha256"] = Sha256Hex(bytes);
    }
    const int loaded = o.jobFile.empty() ? JobFromArguments(o.operation, job, error)
                                         : LoadJobFile(o.jobFile, job, error);
    if (loaded != 0) return refuse(error);
    record.labels = job.labels;
    std::vector<ImageRecord> images(job.operations.size());
    for (std::size_t i = 0; i < job.operations.size(); ++i) {
        const JobOperation& op = job.operations[i];
        if (sockets.size() > 1 && op.kind == OperationKind::Serial && !op.nextSerial) {
            return refuse("operations[" + std::to_string(i) +
                          "].serial: one fixed serial number for the instruments of every "
                          "socket; expected \"next\": true");
        }
        if (o.repeat && op.kind == OperationKind::Serial && !op.nextSerial) {
            return refuse("operations[" + std::to_string(i) +
                          "].serial: one fixed serial number for every instrument of --repeat; "
                          "expected \"next\": true");
        }
        if (op.kind != OperationKind::Download) continue;
        if (CheckImage(op.image, images[i], error) != 0) {
            return refuse("operations[" + std::to_string(i) + "].image: " + error);
        }
        if (!op.imageSha256.empty() && op.imageSha256 != images[i].sha256) {
            const std::string why =
                "operations[" + std::to_string(i) + "].image: " + images[i].name +
                " is not the image the job pins: the job expects sha256 " + op.imageSha256 +
                ", the image has " + images[i].sha256 + "; nothing sent";
            Say(why);
            return WriteDocument(StoppedResult(record, ExitMismatch, why), files);
        }
    }
    if (o.check) {
        // The record of a check: the job and its hash, its outcome, no instrument.
        Say("job " + o.jobFile + ": good, nothing sent");
        Json checked = StoppedResult(record, ExitDone, "");
        checked.erase("error");
        return WriteDocument(checked, files);
    }
    SerialSeries series;
    if (job.needsSerial) {
        if (o.serials.empty() && o.serialTemplate.empty()) {
            return refuse("--next serial numbers need --serials FILE or --serial-template T");
        }
        const int opened =
            OpenSerialSeries(o.serialTemplate, o.serials, o.serialStart, o.serialStartGiven,
                             o.state.empty() ? DefaultStateFolder() : o.state, series, error);
        std::vector<std::string> unrecorded;
        const int checked = opened != 0 ? opened : CheckSerialSeries(series, unrecorded, error);
        if (checked == ExitBadJob) return refuse(error);
        if (checked != 0) return fail(error, series.counterPath);
        // A socket's station leaves this to its parent, which says it once
        // before the sockets start: the numbers the other sockets have just
        // taken are not yet recorded.
        for (const std::string& number : unrecorded) {
            if (SocketName.empty())
                Say("serial number " + number + " was taken and never recorded");
        }
    }
    if (!sockets.empty()) {
        // The parent: each socket's station does the rest, the serial
        // series and the results file shared under their locks.
        SocketRun run;
        run.sockets = sockets;
        run.arguments = o.childArguments;
        run.program = argv[0];
        run.interrupts = &Interrupts;
        run.terminal = StandardErrorIsATerminal();
        run.document = [](const std::string& line) {
            std::fprintf(ResultStream, "%s\n", line.c_str());
            std::fflush(ResultStream);
        };
        run.failed = [&](const TestSocket& socket, const std::string& why) {
            RunRecord lost = record;
            lost.runId = NewRunId();
            SocketName = socket.name;
            Device = ChosenDevice(survey(), "port=" + socket.port);
            const std::string words =
                "socket " + socket.name + ": " + why + "; the instrument's job is not recorded";
            const int code = WriteDocument(StoppedResult(lost, ExitStationFailure, words), files);
            SocketName.clear();
            Device = nullptr;
            return code;
        };
        return RunSockets(run, &Severity, &OutcomeWords);
    }

    // The logs folder, the trace and the working folder, each named by the run.
    std::error_code fsError;
    const fs::path logs = fs::u8path(o.logs);
    fs::create_directories(logs, fsError);
    if (fsError || !fs::is_directory(logs, fsError)) {
        return fail("cannot make its logs folder " + o.logs + ": " +
                        (fsError ? fsError.message() : std::string("not a folder")),
                    o.logs);
    }
    const std::string name = "quillon-station-" + record.runId;
    const fs::path trace = fs::absolute(logs / (name + ".trace"), fsError);
    if (std::FILE* probeTrace = std::fopen(trace.string().c_str(), "ab")) {
        std::fclose(probeTrace);
    } else {
        return fail("cannot write the trace " + (logs / (name + ".trace")).generic_string() + ": " +
                        SystemReason(),
                    (logs / (name + ".trace")).generic_string());
    }
    SetTraceVariable(trace);
    RunFolders folders;
    const fs::path work = fs::absolute(logs / (name + ".work"), fsError);
    fs::create_directories(work, fsError);
    if (fsError) {
        return fail("cannot make its working folder in " + o.logs + ": " + fsError.message(),
                    o.logs);
    }
    folders.work = work;
    const fs::path home = fs::current_path();
    // The library reads its environment at its first call (the virtual
    // instrument its scenario file, whose path may be relative): that call
    // is made here, before the jobs run in their own working folder. The
    // library starts talkative; this keeps it so.
    DuctraChatty(0);
    SetRequestGate(&GateOpen);
    SetPipeObserver(&RecordPipeCall);
    Shown.terminal = StandardErrorIsATerminal() && SocketName.empty();
    Shown.on = o.progress || Shown.terminal || !SocketName.empty();
    Shown.everyBlock = !SocketName.empty();

    int exitCode = ExitDone;
    OutcomeTally tally;
    // The opens that look for an instrument print the library's words
    // ("DuctraOpen success"); before the first job's transcript takes
    // standard output they go nowhere, so that it carries the results alone.
#if defined(_WIN32)
    if (o.repeat && std::freopen("NUL", "w", stdout) == nullptr)
        Say("the null device: " + SystemReason());
#else
    if (o.repeat && std::freopen("/dev/null", "w", stdout) == nullptr) {
        Say("the null device: " + SystemReason());
    }
#endif
    if (o.repeat && Interrupts == 0 && DuctraOpen() != 0) {
        // Nothing attached at the start: the run waits for its first instrument.
        if (!WaitForNextInstrument(false)) {
            Say("interrupted before the first instrument: the run ends");
            SetPipeObserver(nullptr);
            SetRequestGate(nullptr);
            return ExitDone;
        }
    } else if (o.repeat) {
        DuctraClose();
    }
    for (long instrument = 1;; ++instrument) {
        const char* choice = std::getenv("DUCTRA_DEVICE");
        Device = ChosenDevice(survey(), choice != nullptr ? choice : "");
        JobContext context;
        context.serialSeries = series.name;
        int code = ExitDone;
        Json document;
        if (job.needsSerial) {
            const int taken = TakeSerial(series, record.runId, context.serial, error);
            if (taken != 0) {
                code = taken == ExitBadJob ? ExitBadJob : ExitStationFailure;
                Say(code == ExitBadJob ? "bad job: " + error : error);
                document = StoppedResult(record, code, error,
                                         code == ExitStationFailure ? series.counterPath : "");
            }
        }
        const std::string transcriptName = name + "-" + std::to_string(instrument) + ".transcript";
        context.transcriptPath = (logs / transcriptName).generic_string();
        context.tracePath = (logs / trace.filename()).generic_string();
        context.images = images;
        if (document.is_null() &&
            std::freopen((logs / transcriptName).string().c_str(), "w", stdout) == nullptr) {
            code = ExitStationFailure;
            error = "cannot write the transcript " + context.transcriptPath + ": " + SystemReason();
            Say(error);
            document = StoppedResult(record, code, error, context.transcriptPath);
        }
        if (document.is_null()) {
            const std::vector<EngineStep> steps = StepsOf(job, context.serial);
            Pipe.calls.clear();
            Station station{&job, &steps, work / "firmware", 0, Interrupts, false, {}, {}};
            EngineHooks hooks;
            hooks.context = &station;
            hooks.calls = &CallsMade;
            hooks.stopRequested = &StopRequested;
            hooks.beforeStep = &BeforeStep;
            hooks.stepSucceeded = &StepDone;
            hooks.openResult = &OpenedAtStartUp;
            Running = &station;
            fs::current_path(work, fsError);
            EngineRun run;
            RunEngine(steps, hooks, run);
            OperationEnded("stopped");
            for (const std::size_t step : station.mismatched) run.windows[step].mismatch = true;
            fs::current_path(home, fsError);
            Running = nullptr;
            context.calls = &Pipe.calls;
            context.callEnd = Pipe.calls.size();
            context.interrupts = JobInterrupts(station);
            document = JobResult(record, job, steps, run, context, code);
            if (code == ExitNotFound) {
                const ProbeVerdict verdict = probe(run.openResult);
                document["probe"] = {{"verdict", verdict.code},
                                     {"words", verdict.words},
                                     {"report", verdict.report}};
            }
            if (!station.workFailure.empty()) {
                Say(station.workFailure);
                BecomeStationFailure(document, station.workFailure,
                                     (logs / (name + ".work")).generic_string());
                code = ExitStationFailure;
            }
            // The transcript is a copy for people; one that could not be
            // written ends the run after this job.
            const bool transcriptFailed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
            if (transcriptFailed && code != ExitStationFailure) {
                error = "cannot write the transcript " + context.transcriptPath;
                Say(error);
                BecomeStationFailure(document, error, context.transcriptPath);
                code = ExitStationFailure;
            }
        }
        code = WriteDocument(document, files);
        if (!context.serial.empty() && code != ExitStationFailure) {
            SerialRecorded(series, record.runId, context.serial);
        }
        Say("instrument " + std::to_string(instrument) + ": " + OutcomeWords(code));
        CountOutcome(tally, code == ExitDone, OutcomeWords(code));
        if (Severity(code) > Severity(exitCode)) exitCode = code;
        if (!o.repeat || code == ExitBadJob || code == ExitStationFailure || Interrupts > 0) break;
        if (o.repeatCount > 0 && instrument >= o.repeatCount) break;
        if (!WaitForNextInstrument(true)) {
            Say("interrupted between instruments: the run ends");
            break;
        }
    }
    if (o.repeat) Say(TallyWords(tally));
    SetPipeObserver(nullptr);
    SetRequestGate(nullptr);
    return exitCode;
}
