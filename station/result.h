// The result of a job: decoded from the exchanges the trace recorded, with
// the trace reader's own decoders (the exchanges as the link layer judges
// them, the service record's words, the download followed by the transfer's
// rules), never from the console's text.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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
};

// What the station knows around the engine's run.
struct JobContext {
    std::string traceFile;  // the trace, as the station reads it
    std::string tracePath;  // the trace, as the result names it
    std::string transcriptPath;
    uint64_t traceStart = 0;  // the job's part of the trace file
    uint64_t traceEnd = 0;
    std::string serial;                    // the station's number given to this job
    std::vector<std::string> newVersions;  // per operation: the image's code version
    int interrupts = 0;                    // Ctrl-C presses during the job
};

// Whether the step's exchanges carried its operation out: used after each
// step so that a job stops at its first failed operation.
bool StepSucceeded(const std::string& tracePath, const EngineStep& step, const Job& job,
                   const StepWindow& window);

// The result of the first open of the pipe written to the trace after the
// given size of the file; -3 (device not found) when there is none.
int32_t FirstOpenResult(const std::string& tracePath, uint64_t from);

// The JSON document of a job that ran (or stopped at start-up), and its exit code.
nlohmann::json JobResult(const Job& job, const std::vector<EngineStep>& steps, const EngineRun& run,
                         const JobContext& context, int& exitCode);

// The document of a job that stopped before anything was sent: a bad job,
// or a station that cannot write its files.
nlohmann::json StoppedResult(const std::string& source, int exitCode, const std::string& error);
