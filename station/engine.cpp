// The job's answers at the console's prompts. The shell's engine runs as it
// does for a technician (StartUp, ShowMenu, DispatchCommand); the answer
// source of the console helpers hands it, at each prompt, the answer the
// step keyed to that prompt. The menus are walked as a technician walks
// them: the menu of the step's board, its command, 'rm' back to the top, and
// 'q' from the top menu at the end, so the instrument receives the same
// requests as for the same answers typed.
#include "station/engine.h"

#include <chrono>
#include <ctime>
#include <string_view>

#include "link/link.h"
#include "service/menu_state.h"
#include "shell/shell.h"
#include "terminal/console_io.h"
#include "terminal/program_end.h"

namespace {

// The engine ends only through EndProgram (the quit, or the end of the
// answers); the station's handler turns that end into a return from
// RunEngine instead of the end of the process.
struct EngineEnded {
    int exitCode;
};

[[noreturn]] void EndOfEngine(int exitCode) {
    throw EngineEnded{exitCode};
}

struct Progress {
    const std::vector<EngineStep>* steps = nullptr;
    const EngineHooks* hooks = nullptr;
    EngineRun* run = nullptr;
    std::size_t next = 0;                         // the first step not yet chosen
    long current = -1;                            // the step whose command runs
    std::vector<bool> used;                       // its answers given
    bool checked = false;                         // the station has checked the next step
    std::chrono::steady_clock::time_point began;  // of the step that runs
};

Progress* Active = nullptr;

constexpr std::string_view PressReturnPrompt = "Press return ";

// The menu a prompt belongs to: 't' for the top menu; 0 for no menu.
char MenuOf(std::string_view prompt) {
    if (prompt == "Service choice: ") return 't';
    if (prompt == "Device cmd: ") return 's';
    if (prompt == "Main Board cmd: ") return 'm';
    if (prompt == "Vantor cmd: ") return 'h';
    if (prompt == "Com Module cmd: ") return 'c';
    return 0;
}

int Give(const std::string& text, char* answer, std::size_t capacity) {
    if (text.size() + 1 > capacity) return 1;
    text.copy(answer, text.size());
    answer[text.size()] = '\0';
    return 0;
}

int Unforeseen(Progress& p, std::string_view prompt) {
    const std::size_t step = p.current >= 0 ? static_cast<std::size_t>(p.current) : p.next;
    p.run->errorStep = step;
    p.run->error =
        "the console asked \"" + std::string(prompt) + "\", which the job does not answer";
    return 1;
}

int AnswerPrompt(const char* promptText, char* answer, std::size_t capacity) {
    Progress& p = *Active;
    const std::string_view prompt(promptText);
    const std::vector<EngineStep>& steps = *p.steps;
    const char menu = MenuOf(prompt);
    if (menu != 0) {
        // A gate that closed mid-step sends nothing more: the run ends here.
        if (!RequestAllowed()) return 1;
        bool more = p.next < steps.size() && (p.hooks->stopRequested == nullptr ||
                                              !p.hooks->stopRequested(p.hooks->context));
        if (more && !p.checked && p.hooks->beforeStep != nullptr) {
            // The station's checks come before the step's menu is entered.
            std::string refused = p.hooks->beforeStep(p.hooks->context, p.next);
            if (!refused.empty()) {
                p.run->windows[p.next].refused = std::move(refused);
                p.next = steps.size();
                more = false;
            }
        }
        p.checked = more;
        if (!more) return Give(menu == 't' ? "q" : "rm", answer, capacity);
        const EngineStep& step = steps[p.next];
        if (menu == 't') return Give(std::string(1, step.menu), answer, capacity);
        if (menu != step.menu) return Give("rm", answer, capacity);
        p.current = static_cast<long>(p.next++);
        p.checked = false;
        p.used.assign(step.answers.size(), false);
        return Give(step.command, answer, capacity);
    }
    if (p.current < 0) return Unforeseen(p, prompt);
    const EngineStep& step = steps[static_cast<std::size_t>(p.current)];
    for (std::size_t i = 0; i < step.answers.size(); ++i) {
        if (p.used[i] || step.answers[i].prompt != prompt) continue;
        p.used[i] = true;
        return Give(step.answers[i].text, answer, capacity);
    }
    if (prompt == PressReturnPrompt) return Give("", answer, capacity);
    return Unforeseen(p, prompt);
}

std::size_t CallCount(const EngineHooks& hooks) {
    return hooks.calls != nullptr ? hooks.calls(hooks.context) : 0;
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point began) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 began)
        .count();
}

// After a step's command: every answer it was given must have been asked for.
bool FinishStep(Progress& p) {
    StepWindow& window = p.run->windows[static_cast<std::size_t>(p.current)];
    window.finished = true;
    window.callEnd = CallCount(*p.hooks);
    window.ended = UtcNow();
    window.durationMs = MillisecondsSince(p.began);
    const EngineStep& step = (*p.steps)[static_cast<std::size_t>(p.current)];
    for (std::size_t i = 0; i < step.answers.size(); ++i) {
        if (p.used[i] || step.answers[i].optional) continue;
        p.run->errorStep = static_cast<std::size_t>(p.current);
        p.run->error = "the console never asked \"" + step.answers[i].prompt + "\"";
        return false;
    }
    const std::size_t done = static_cast<std::size_t>(p.current);
    p.current = -1;
    if (p.hooks->stepSucceeded != nullptr &&
        !p.hooks->stepSucceeded(p.hooks->context, done, window)) {
        p.next = p.steps->size();  // no further step: back to the top menu and quit
    }
    return true;
}

// The answers a board's menu command needs before its own questions: the
// sensor address, asked by the sensor boards menu's commands.
void AskedAddress(EngineStep& step, const JobOperation& op,
                  const char* prompt = "Sensor address? ") {
    if (step.menu == 's') step.answers.push_back({prompt, std::to_string(op.board)});
}

char MenuFor(const JobOperation& op) {
    if (op.device == JobDevice::Handheld) return 'h';
    if (op.device == JobDevice::ComModule) return 'c';
    return op.board == 0 && op.kind != OperationKind::List ? 'm' : 's';
}

}  // namespace

std::string UtcNow() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::vector<EngineStep> StepsOf(const Job& job, const std::string& serial) {
    std::vector<EngineStep> steps;
    for (std::size_t i = 0; i < job.operations.size(); ++i) {
        const JobOperation& op = job.operations[i];
        EngineStep step;
        step.operation = i;
        step.menu = MenuFor(op);
        switch (op.kind) {
            case OperationKind::List:
                step.command = "ll";
                break;
            case OperationKind::Report:
                step.command = "cn";
                AskedAddress(step, op);
                break;
            case OperationKind::Serial:
                step.command = "sn";
                AskedAddress(step, op);
                // A depth sensor keeps its serial number: the console does not ask.
                step.answers.push_back(
                    {"Serial Number: ", op.nextSerial ? serial : op.serial, true});
                break;
            case OperationKind::Dates:
                if (op.build) {
                    EngineStep build = step;
                    build.command = "bd";
                    AskedAddress(build, op);
                    steps.push_back(build);
                }
                if (!op.maintenance) continue;
                step.command = "md";
                AskedAddress(step, op);
                if (step.menu == 's') {
                    step.answers.push_back(
                        {"Maintenance interval (in days)? ", std::to_string(op.intervalDays)});
                }
                break;
            case OperationKind::Reset:
                step.command = "rs";
                AskedAddress(step, op);
                step.answers.push_back({"enter 0 or 1: ", std::to_string(op.level)});
                break;
            case OperationKind::ClearLog:
                step.command = "cl";
                AskedAddress(step, op, "Sensor address: ");
                break;
            case OperationKind::FormatLogMedia:
                step.command = "cl";
                break;
            case OperationKind::Setting:
                if (step.menu == 'm') {
                    step.command = "sb";
                    if (op.battery != 0) {
                        step.answers.push_back(
                            {"1 = NOBATT, 2 = IBP ", std::to_string(op.battery)});
                    }
                } else {
                    step.command = "sf";
                    AskedAddress(step, op);
                    // A board that is not a fluorometer is not asked its type.
                    step.answers.push_back({"Fluorometer? ", std::to_string(op.fluorometer), true});
                }
                break;
            case OperationKind::Download:
                // The station's firmware folder holds the job's image alone.
                step.command = "dl";
                step.answers.push_back({"Enter the number of the firmware you want: ", "1"});
                step.answers.push_back({"What device? ", std::to_string(op.board)});
                break;
        }
        steps.push_back(step);
    }
    return steps;
}

void RunEngine(const std::vector<EngineStep>& steps, const EngineHooks& hooks, EngineRun& run) {
    Progress progress;
    progress.steps = &steps;
    progress.hooks = &hooks;
    progress.run = &run;
    run.windows.assign(steps.size(), StepWindow{});
    run.started = UtcNow();
    Active = &progress;
    SetAnswerSource(&AnswerPrompt);
    SetProgramEndHandler(&EndOfEngine);
    try {
        MenuState = MenuTop;
        StartUp();
        run.openResult = hooks.openResult != nullptr ? hooks.openResult(hooks.context) : 0;
        while (run.openResult == 0) {
            while (!ShowMenu()) {
            }
            const auto step = static_cast<std::size_t>(progress.current);
            StepWindow& window = run.windows[step];
            window.ran = true;
            window.callStart = CallCount(hooks);
            window.started = UtcNow();
            progress.began = std::chrono::steady_clock::now();
            DispatchCommand(CommandCode);
            if (!FinishStep(progress)) break;
        }
    } catch (const EngineEnded& ended) {
        run.quit = ended.exitCode == 0 && run.error.empty();
        if (progress.current >= 0) {
            StepWindow& window = run.windows[static_cast<std::size_t>(progress.current)];
            window.callEnd = CallCount(hooks);
            window.ended = UtcNow();
            window.durationMs = MillisecondsSince(progress.began);
        }
    }
    std::fflush(stdout);
    SetAnswerSource(nullptr);
    SetProgramEndHandler(nullptr);
    Active = nullptr;
    run.ended = UtcNow();
}
