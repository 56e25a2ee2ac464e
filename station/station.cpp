// The station's program: its options, the files around a job (transcript,
// trace, firmware folder, results, the serial-number counter), the job run
// through the console's engine, the result, and --repeat with the wait for
// the next instrument. Ctrl-C: between instruments it ends the run; during a
// job the current operation is finished (a download to its end) and no
// further one is started; a second Ctrl-C stops a download after the
// exchange under way, and the board is reported erased and not programmed.
#include "station/station.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#else
#include <unistd.h>
#endif

#include "firmware/image.h"
#include "link/link.h"
#include "station/engine.h"
#include "station/job.h"
#include "station/result.h"
#include "terminal/console_io.h"
#include "usbpipe/ductra.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* Usage =
    "usage: quillon-station [OPTIONS] run JOB.json\n"
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
    "  exit codes: 0 done, 1 station failure, 2 bad job, 3 instrument not found,\n"
    "              4 refused, 5 link failure, 6 verify failure, 7 interrupted\n";

// Ctrl-C presses since the program started.
volatile std::sig_atomic_t Interrupts = 0;
std::sig_atomic_t JobInterruptBase = 0;
bool FinishingSaid = false;

extern "C" void OnInterrupt(int) {
    Interrupts = Interrupts + 1;
    // The Windows runtime restores the default after each signal.
    std::signal(SIGINT, OnInterrupt);
}

int JobInterrupts() {
    return static_cast<int>(Interrupts - JobInterruptBase);
}

void Say(const std::string& message) {
    std::fprintf(stderr, "quillon-station: %s\n", message.c_str());
    std::fflush(stderr);
}

// The gate before the pipe: open until the second Ctrl-C of a job.
bool GateOpen() {
    const int presses = JobInterrupts();
    if (presses >= 1 && !FinishingSaid) {
        FinishingSaid = true;
        Say("interrupted: finishing the operation under way (a download to its end); "
            "Ctrl-C again stops a download after the current block, leaving the board erased");
    }
    return presses < 2;
}

bool StopRequested() {
    return JobInterrupts() > 0;
}

struct Options {
    std::string output;
    std::string logs = ".";
    bool repeat = false;
    long repeatCount = 0;  // 0: until interrupted
    std::string results;
    std::string serials;
    std::string serialTemplate;
    long serialStart = 1;
    std::string jobFile;
    std::vector<std::string> operation;  // the command-line operation
};

int ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    int i = 1;
    auto value = [&](const char* name, std::string& into) {
        if (i + 1 >= argc) {
            error = std::string(name) + ": expected a value";
            return false;
        }
        into = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        std::string text;
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
        } else if (a == "--serial-start") {
            if (!value("--serial-start", text)) return 1;
            char* end = nullptr;
            o.serialStart = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || o.serialStart < 0) {
                error = "--serial-start: expected a whole number";
                return 1;
            }
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
            for (; i < argc; ++i) o.operation.emplace_back(argv[i]);
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

// Flushes a file's data to the disk, so that a crash loses no line written.
void SyncFile(std::FILE* file) {
    std::fflush(file);
#if defined(_WIN32)
    _commit(_fileno(file));
#else
    fsync(fileno(file));
#endif
}

// The serial-number source: the next number, never the same one twice. The
// counter (for a list, how many of its lines are used) lives beside the
// results file and is written before the number is used.
struct SerialSource {
    std::vector<std::string> list;
    std::string templ;
    long start = 1;
    fs::path counterPath;
};

bool ValidSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > 19) return false;
    for (char c : serial) {
        if (c < '!' || c > '~') return false;
    }
    return true;
}

int TakeSerial(const SerialSource& source, std::string& serial, std::string& error) {
    long counter = source.list.empty() ? source.start : 0;
    {
        std::ifstream in(source.counterPath);
        long kept = 0;
        if (in >> kept) counter = kept;
    }
    if (!source.list.empty()) {
        if (counter < 0 || static_cast<std::size_t>(counter) >= source.list.size()) {
            error = "no serial number left in the list (" + std::to_string(source.list.size()) +
                    " used)";
            return 1;
        }
        serial = source.list[static_cast<std::size_t>(counter)];
    } else {
        serial = source.templ;
        const std::size_t at = serial.find("{n");
        const std::size_t close = at == std::string::npos ? at : serial.find('}', at);
        if (close == std::string::npos) {
            error = "--serial-template: expected {n} or {n:W} in it";
            return 1;
        }
        int width = 0;
        if (serial[at + 2] == ':') width = std::atoi(serial.c_str() + at + 3);
        char digits[32];
        std::snprintf(digits, sizeof digits, "%0*ld", width, counter);
        serial.replace(at, close - at + 1, digits);
    }
    if (!ValidSerial(serial)) {
        error = "serial number \"" + serial + "\": expected 1 to 19 characters without blanks";
        return 1;
    }
    std::FILE* file = std::fopen(source.counterPath.string().c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write the serial-number counter " + source.counterPath.string();
        return 1;
    }
    std::fprintf(file, "%ld\n", counter + 1);
    SyncFile(file);
    std::fclose(file);
    return 0;
}

int LoadSerialSource(const Options& o, SerialSource& source, std::string& error) {
    if (o.results.empty()) {
        error = "--next serial numbers need --results FILE: their counter is kept beside it";
        return 1;
    }
    source.counterPath = fs::u8path(o.results + ".counter");
    source.templ = o.serialTemplate;
    source.start = o.serialStart;
    if (!o.serials.empty()) {
        std::ifstream in(fs::u8path(o.serials));
        if (!in) {
            error = "--serials " + o.serials + ": cannot be read";
            return 1;
        }
        for (std::string line; std::getline(in, line);) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            if (!line.empty() && line[0] != '#') source.list.push_back(line);
        }
    } else if (o.serialTemplate.empty()) {
        error = "--next serial numbers need --serials FILE or --serial-template T";
        return 1;
    }
    return 0;
}

// An image is checked as the console checks it when it opens it, before
// anything is sent; the console's own words say why it is refused.
int CheckImage(const std::string& path, std::string& version, std::string& error) {
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
    version = std::to_string(parts.major) + "." + std::to_string(parts.minor);
    return 0;
}

// The run's state shared with the engine's hooks.
struct Station {
    const Job* job = nullptr;
    const std::vector<EngineStep>* steps = nullptr;
    fs::path tracePath;
    fs::path firmwareFolder;  // the "firmware" folder of the job's working folder
};
Station Current;

// Before a download step: the firmware folder holds its image alone, so the
// catalogue's one entry is the one the step chooses.
void PlaceImage(std::size_t step) {
    const JobOperation& op = Current.job->operations[(*Current.steps)[step].operation];
    if (op.kind != OperationKind::Download) return;
    std::error_code ignored;
    fs::remove_all(Current.firmwareFolder, ignored);
    fs::create_directories(Current.firmwareFolder, ignored);
    const fs::path image = fs::u8path(op.image);
    fs::copy_file(image, Current.firmwareFolder / image.filename(),
                  fs::copy_options::overwrite_existing, ignored);
}

uint64_t JobTraceStart = 0;

int32_t OpenedAtStartUp() {
    return FirstOpenResult(Current.tracePath.string(), JobTraceStart);
}

bool StepDone(std::size_t step, const StepWindow& window) {
    return StepSucceeded(Current.tracePath.string(), (*Current.steps)[step], *Current.job, window);
}

uint64_t FileSize(const fs::path& path) {
    std::error_code error;
    const uintmax_t size = fs::file_size(path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

std::string StampNow() {
    std::string stamp = UtcNow();  // 2026-12-08T14:05:09Z
    std::string compact;
    for (char c : stamp) {
        if (c != '-' && c != ':') compact += c;
    }
    return compact;
}

// Waits for the instrument to leave the bus and the next one to arrive, by
// opening the pipe every half second. False when Ctrl-C ends the wait.
bool WaitForNextInstrument() {
    DuctraClose();
    Say("remove the instrument and attach the next one");
    const std::sig_atomic_t before = Interrupts;
    while (Interrupts == before) {
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

void WriteDocument(const Json& document, const Options& o) {
    const std::string line = document.dump();
    if (o.output.empty()) {
        std::fprintf(ResultStream, "%s\n", line.c_str());
        std::fflush(ResultStream);
    } else {
        std::ofstream(fs::u8path(o.output), std::ios::binary) << document.dump(2) << "\n";
    }
    if (!o.results.empty()) {
        std::FILE* results = std::fopen(o.results.c_str(), "ab");
        if (results == nullptr) {
            Say("cannot append to the results file " + o.results);
            return;
        }
        std::fprintf(results, "%s\n", line.c_str());
        SyncFile(results);
        std::fclose(results);
    }
}

int Refuse(const std::string& source, const std::string& error, const Options& o) {
    Say("bad job: " + error);
    WriteDocument(StoppedResult(source, ExitBadJob, error), o);
    return ExitBadJob;
}

// The station cannot write its own files: one line, and the result says so.
int Fail(const std::string& source, const std::string& error, const Options& o) {
    Say(error);
    WriteDocument(StoppedResult(source, ExitStationFailure, error), o);
    return ExitStationFailure;
}

}  // namespace

int StationMain(int argc, char** argv, ProbeFunction probe) {
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
    Options o;
    std::string error;
    if (KeepStandardOutput() != 0) return ExitStationFailure;
    if (ParseOptions(argc, argv, o, error) != 0) {
        std::fputs(Usage, stderr);
        return Refuse("command line", error, o);
    }
    Job job;
    const int loaded = o.jobFile.empty() ? JobFromArguments(o.operation, job, error)
                                         : LoadJobFile(o.jobFile, job, error);
    if (loaded != 0) return Refuse(o.jobFile.empty() ? "command line" : o.jobFile, error, o);
    std::vector<std::string> newVersions(job.operations.size());
    for (std::size_t i = 0; i < job.operations.size(); ++i) {
        if (job.operations[i].kind != OperationKind::Download) continue;
        if (CheckImage(job.operations[i].image, newVersions[i], error) != 0) {
            return Refuse(job.source, "operations[" + std::to_string(i) + "].image: " + error, o);
        }
    }
    SerialSource serials;
    if (job.needsSerial && LoadSerialSource(o, serials, error) != 0) {
        return Refuse(job.source, error, o);
    }

    std::error_code fsError;
    const fs::path logs = fs::u8path(o.logs);
    fs::create_directories(logs, fsError);
    const std::string stamp = StampNow();
    const fs::path trace = fs::absolute(logs / ("quillon-station-" + stamp + ".trace"), fsError);
    SetTraceVariable(trace);
    const fs::path work = fs::absolute(logs / ("quillon-station-" + stamp + ".work"), fsError);
    fs::create_directories(work, fsError);
    if (fsError) return Fail(job.source, "cannot make its working folder in " + o.logs, o);
    const fs::path home = fs::current_path();
    // The library reads its environment at its first call (the virtual
    // instrument its scenario file, whose path may be relative): that call
    // is made here, before the jobs run in their own working folder. The
    // library starts talkative; this keeps it so.
    DuctraChatty(0);
    std::signal(SIGINT, OnInterrupt);
    SetRequestGate(&GateOpen);

    int exitCode = ExitDone;
    for (long instrument = 1;; ++instrument) {
        JobContext context;
        if (job.needsSerial && TakeSerial(serials, context.serial, error) != 0) {
            Say(error);
            if (exitCode == ExitDone) exitCode = ExitBadJob;
            break;
        }
        const std::string name = "quillon-station-" + stamp + "-" + std::to_string(instrument);
        context.transcriptPath = (logs / (name + ".transcript")).generic_string();
        context.tracePath = (logs / trace.filename()).generic_string();
        context.traceFile = trace.string();
        context.newVersions = newVersions;
        if (std::freopen((logs / (name + ".transcript")).string().c_str(), "w", stdout) ==
            nullptr) {
            return Fail(job.source, "cannot write the transcript " + context.transcriptPath, o);
        }
        const std::vector<EngineStep> steps = StepsOf(job, context.serial);
        Current = Station{&job, &steps, trace, work / "firmware"};
        EngineHooks hooks;
        const std::string tracePath = trace.string();
        hooks.tracePath = tracePath.c_str();
        hooks.stopRequested = &StopRequested;
        hooks.beforeStep = &PlaceImage;
        hooks.stepSucceeded = &StepDone;
        JobInterruptBase = Interrupts;
        FinishingSaid = false;
        fs::current_path(work, fsError);
        context.traceStart = JobTraceStart = FileSize(trace);
        hooks.openResult = &OpenedAtStartUp;
        EngineRun run;
        RunEngine(steps, hooks, run);
        context.traceEnd = FileSize(trace);
        fs::current_path(home, fsError);
        context.interrupts = JobInterrupts();
        int code = ExitDone;
        Json document = JobResult(job, steps, run, context, code);
        if (code == ExitNotFound) {
            const ProbeVerdict verdict = probe(run.openResult);
            document["probe"] = {
                {"verdict", verdict.code}, {"words", verdict.words}, {"report", verdict.report}};
        }
        WriteDocument(document, o);
        Say("instrument " + std::to_string(instrument) + ": " +
            document["outcome"].get<std::string>());
        if (code != ExitDone) exitCode = code;
        if (!o.repeat || code == ExitBadJob || Interrupts > 0) break;
        if (o.repeatCount > 0 && instrument >= o.repeatCount) break;
        if (!WaitForNextInstrument()) {
            Say("interrupted between instruments: the run ends");
            break;
        }
    }
    std::error_code ignored;
    fs::remove_all(work, ignored);
    SetRequestGate(nullptr);
    return exitCode;
}
