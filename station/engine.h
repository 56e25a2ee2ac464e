// Running a job through the console's own engine: start-up, the menus and
// the command dispatch of the shell, with every prompt answered from the
// job's operations instead of the keyboard. Each answer is keyed to the
// prompt it answers; a prompt the job did not foresee ends the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "service/decline.h"
#include "station/job.h"
#include "terminal/console_io.h"

// One answer of a step, under the console's declaration of the prompt it
// answers. An answer to an optional prompt (one the console asks only for
// some boards: a depth sensor is never asked for a serial number) may go
// unused: the operation's verdict then comes from what was sent and what
// the console declined, never a bad job.
struct EngineAnswer {
    ConsolePrompt prompt;
    std::string text;
};

// One menu command of an operation: the menu ('m' main board, 's' sensor
// boards, 'h' handheld, 'c' communications module), its answer ("dl"), and
// the answers to the command's prompts, each under its prompt.
struct EngineStep {
    std::size_t operation = 0;  // in the job
    char menu = 's';
    std::string command;
    std::vector<EngineAnswer> answers;
};

// A command the console declined before sending anything, as it reported
// it: the code and the board.
struct StepDecline {
    Decline decline = Decline::None;
    int board = 0;
};

// Which of the station's recorded pipe calls a step made, and when it ran
// (UTC, and its length on the steady clock).
struct StepWindow {
    bool ran = false;
    bool finished = false;
    std::size_t callStart = 0;
    std::size_t callEnd = 0;
    std::string started;
    std::string ended;
    int64_t durationMs = 0;
    std::string refused;    // the station refused the step before it ran: why
    bool mismatch = false;  // refused as not the board the job expects
    StepDecline declined;   // what the console declined while the step ran
};

struct EngineRun {
    int32_t openResult = 0;  // DuctraOpen at start-up; nonzero: not found
    bool quit = false;       // the run ended with the menus' quit
    std::vector<StepWindow> windows;
    std::string error;           // why the run stopped early (the job's fault)
    std::size_t errorStep = 0;   // the step it stopped in
    std::string started, ended;  // UTC
};

// What the engine asks of the station while it runs; each hook is handed
// the station's context.
struct EngineHooks {
    void* context = nullptr;
    // How many pipe calls the station has recorded so far: a step's window.
    std::size_t (*calls)(void* context) = nullptr;
    bool (*stopRequested)(void* context) = nullptr;  // true: run no further step, quit
    // After start-up: the result of its DuctraOpen.
    int32_t (*openResult)(void* context) = nullptr;
    // Before each step's command runs (the station puts its image in place
    // and checks the board): a nonempty text refuses the step, which is not
    // run, and ends the job.
    std::string (*beforeStep)(void* context, std::size_t step) = nullptr;
    // After each step: false ends the job there (its operation failed).
    bool (*stepSucceeded)(void* context, std::size_t step, const StepWindow& window) = nullptr;
};

// The steps that carry out the job's operations, made by the engine's table
// of operation kinds (engine.cpp); serial is the station's next number for
// the operations that take it.
std::vector<EngineStep> StepsOf(const Job& job, const std::string& serial);

// Runs the steps: start-up, then the menus from the top menu, each step's
// command, and the quit from the top menu. Console text goes to the
// console's output as always.
void RunEngine(const std::vector<EngineStep>& steps, const EngineHooks& hooks, EngineRun& run);

// Now in UTC, "2026-12-08T14:05:09Z".
std::string UtcNow();
