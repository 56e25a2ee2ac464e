// The result of a job: decoded from the pipe calls the station recorded as
// it made them, with the trace reader's own decoders (the exchanges as the
// link layer judges them, the service record's words, the download followed
// by the transfer's rules), never from the console's text nor from a file
// that another program can change.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "link/traced_exchange.h"
#include "station/engine.h"
#include "station/job.h"

// The station's exit codes (tabled in quillon-station(1)).
enum StationExit : int {
    ExitDone = 0,
    ExitStationFailure = 1,  // results, transcript or trace could not be written
    ExitBadJob = 2,
    ExitNotFound = 3,
    ExitRefused = 4,
    ExitLinkFailure = 5,
    ExitVerifyFailure = 6,
    ExitInterrupted = 7,
    ExitMismatch = 8,  // the board or the image is not the one the job expects
};

// The version of the result's format (the results line's too): 2 since
// the result carries its run, station, job and images; 1 was the result
// without a "format".
inline constexpr int ResultFormat = 2;

// The run's identity, carried by every document of the run.
struct RunRecord {
    std::string runId;                                  // a UUID
    nlohmann::json station = nlohmann::json::object();  // host, program, version, name, operator
    nlohmann::json job = nlohmann::json::object();      // path, sha256
    nlohmann::json labels = nullptr;                    // the job's labels, copied
};

// A download's image, as the station read it before anything was sent.
struct ImageRecord {
    std::string name;
    uint64_t bytes = 0;
    std::string sha256;
    std::string codeVersion;
};

// What the station knows around the engine's run.
struct JobContext {
    const std::vector<NumberedCall>* calls = nullptr;  // the pipe calls the station recorded
    std::size_t callStart = 0;                         // the job's part of them
    std::size_t callEnd = 0;
    std::string tracePath;  // the trace, as the result names it
    std::string transcriptPath;
    std::string serial;               // the station's number given to this job
    std::string serialSeries;         // the series it came from
    std::vector<ImageRecord> images;  // per operation: a download's image
    int interrupts = 0;               // interrupts during the job
};

// Whether the step's exchanges carried its operation out: used after each
// step so that a job stops at its first failed operation.
bool StepSucceeded(const std::vector<NumberedCall>& calls, const EngineStep& step, const Job& job,
                   const StepWindow& window);

// The result of the first open of the pipe among the calls from the given
// one on; -3 (device not found) when there is none.
int32_t FirstOpenResult(const std::vector<NumberedCall>& calls, std::size_t from);

// The JSON document of a job that ran (or stopped at start-up), and its exit code.
nlohmann::json JobResult(const RunRecord& record, const Job& job,
                         const std::vector<EngineStep>& steps, const EngineRun& run,
                         const JobContext& context, int& exitCode);

// The document of a job that stopped before anything was sent: a bad job,
// or a station that cannot write its files (file: the file it names).
nlohmann::json StoppedResult(const RunRecord& record, int exitCode, const std::string& error,
                             const std::string& file = "");

// Why the operation's board is not the one it expects, naming both (what
// the job expects, what the last listing among the calls says the board
// is); "" when it is, or when the operation expects nothing.
std::string BoardMismatch(const std::vector<NumberedCall>& calls, const JobOperation& op);

// The outcome's words for an exit code: "done", "refused", "station failure".
const char* OutcomeWords(int exitCode);
