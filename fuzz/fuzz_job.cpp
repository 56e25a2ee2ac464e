// The station's job reader over arbitrary file contents and command lines:
// a job is read, or refused with a line that names what is wrong, and the
// program is never ended (no exception escapes, no crash, no stack
// exhausted by nesting). A job read is turned into the engine's steps: each
// operation has at least one, in the job's order, each answer under a prompt.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "station/engine.h"
#include "station/job.h"

namespace {

void CheckJob(int status, const Job& job, const std::string& error) {
    Require(status == 0 ? error.empty() : !error.empty());
    if (status != 0) return;
    Require(!job.operations.empty());
    const std::vector<EngineStep> steps = StepsOf(job, "FZ-1");
    std::size_t operation = 0;
    bool first = true;
    for (const EngineStep& step : steps) {
        Require(step.operation < job.operations.size());
        Require(first ? step.operation == 0 : step.operation - operation <= 1);
        Require(step.operation >= operation);
        Require(!step.command.empty());
        for (const EngineAnswer& answer : step.answers) {
            Require(answer.prompt.text != nullptr && answer.prompt.text[0] != '\0');
        }
        operation = step.operation;
        first = false;
    }
    Require(!steps.empty() && operation + 1 == job.operations.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Job job;
    std::string error;
    CheckJob(LoadJobText(text, "job.json", ".", job, error), job, error);

    // The same bytes as a command line, one argument a line.
    std::vector<std::string> arguments;
    std::string::size_type from = 0;
    while (from <= text.size() && arguments.size() < 64) {
        const std::string::size_type end = text.find('\n', from);
        arguments.push_back(text.substr(from, end == std::string::npos ? end : end - from));
        if (end == std::string::npos) break;
        from = end + 1;
    }
    error.clear();
    CheckJob(JobFromArguments(arguments, job, error), job, error);
    return 0;
}
