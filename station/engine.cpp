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

#include "firmware/prompts.h"
#include "link/link.h"
#include "service/decline.h"
#include "service/menu_state.h"
#include "service/prompts.h"
#include "shell/prompts.h"
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

// The console's answer source takes no context: the run under way.
Progress* Active = nullptr;

// The menu a prompt belongs to: 't' for the top menu; 0 for no menu.
char MenuOf(std::string_view prompt) {
    static constexpr std::pair<const ConsolePrompt*, char> Menus[] = {
        {&TopMenuPrompt, 't'},      {&SensorMenuPrompt, 's'},    {&MainBoardMenuPrompt, 'm'},
        {&HandheldMenuPrompt, 'h'}, {&ComModuleMenuPrompt, 'c'},
    };
    for (const auto& [menuPrompt, menu] : Menus) {
        if (prompt == menuPrompt->text) return menu;
    }
    return 0;
}

// The console declined the command under way: recorded in its step.
void Declined(void* context, Decline decline, uint8_t board) {
    Progress& p = *static_cast<Progress*>(context);
    if (p.current < 0) return;
    p.run->windows[static_cast<std::size_t>(p.current)].declined = {decline, board};
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
        if (p.used[i] || prompt != step.answers[i].prompt.text) continue;
        p.used[i] = true;
        return Give(step.answers[i].text, answer, capacity);
    }
    if (prompt == PressReturnPrompt.text) return Give("", answer, capacity);
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
        if (p.used[i] || step.answers[i].prompt.optional) continue;
        p.run->errorStep = static_cast<std::size_t>(p.current);
        p.run->error =
            "the console never asked \"" + std::string(step.answers[i].prompt.text) + "\"";
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

// The engine's table: one row per operation kind, each a step or two (a
// menu command), each step its command and its answers keyed to the
// console's prompts. A step is made in the menu of the operation's board:
// the device's own menu for the handheld and the communications module, for
// the sonde the main board's menu for board 0 and the sensor boards menu
// for the others (or always, for the rows that say so).

using AnswerOf = std::string (*)(const JobOperation& op, const std::string& serial);
using Condition = bool (*)(const JobOperation& op);

struct AnswerRule {
    const ConsolePrompt* prompt = nullptr;  // nullptr: the end of the answers
    AnswerOf answer = nullptr;
    char menu = 0;              // asked in this menu only; 0: in every menu
    Condition given = nullptr;  // nullptr: always given
};

struct StepRule {
    const char* command = nullptr;  // nullptr: the end of the steps
    char menu = 0;                  // made in this menu only; 0: in every menu
    Condition made = nullptr;       // nullptr: always made
    AnswerRule answers[3] = {};
};

struct OperationRow {
    OperationKind kind;
    bool sensorMenu;  // made in the sensor boards menu even for board 0
    StepRule steps[2];
};

std::string Board(const JobOperation& op, const std::string&) {
    return std::to_string(op.board);
}
std::string SerialOf(const JobOperation& op, const std::string& serial) {
    return op.nextSerial ? serial : op.serial;
}
std::string IntervalDays(const JobOperation& op, const std::string&) {
    return std::to_string(op.intervalDays);
}
std::string Level(const JobOperation& op, const std::string&) {
    return std::to_string(op.level);
}
std::string Battery(const JobOperation& op, const std::string&) {
    return std::to_string(op.battery);
}
std::string FluorometerType(const JobOperation& op, const std::string&) {
    return std::to_string(op.fluorometer);
}
// The station's firmware folder holds the job's image alone: entry 1.
std::string FirstEntry(const JobOperation&, const std::string&) {
    return "1";
}

bool BuildDate(const JobOperation& op) {
    return op.build;
}
bool MaintenanceDate(const JobOperation& op) {
    return op.maintenance;
}
bool BatteryChosen(const JobOperation& op) {
    return op.battery != 0;
}

// The sensor boards menu's commands first ask which board they serve.
constexpr AnswerRule Address{&SensorAddressPrompt, &Board, 's'};

constexpr OperationRow Operations[] = {
    {OperationKind::List, true, {{"ll"}}},
    {OperationKind::Report, false, {{"cn", 0, nullptr, {Address}}}},
    {OperationKind::Serial,
     false,
     {{"sn", 0, nullptr, {Address, {&SerialNumberPrompt, &SerialOf}}}}},
    {OperationKind::Dates,
     false,
     {{"bd", 0, &BuildDate, {Address}},
      {"md", 0, &MaintenanceDate, {Address, {&MaintenanceIntervalPrompt, &IntervalDays, 's'}}}}},
    {OperationKind::Reset, false, {{"rs", 0, nullptr, {Address, {&ResetLevelPrompt, &Level}}}}},
    {OperationKind::ClearLog, false, {{"cl", 0, nullptr, {{&ClearLogAddressPrompt, &Board, 's'}}}}},
    {OperationKind::FormatLogMedia, false, {{"cl"}}},
    {OperationKind::Setting,
     false,
     {{"sb", 'm', nullptr, {{&BatteryRangePrompt, &Battery, 0, &BatteryChosen}}},
      {"sf", 's', nullptr, {Address, {&FluorometerTypePrompt, &FluorometerType}}}}},
    {OperationKind::Download,
     false,
     {{"dl", 0, nullptr, {{&FirmwareChoicePrompt, &FirstEntry}, {&DownloadDevicePrompt, &Board}}}}},
};

const OperationRow* RowOf(OperationKind kind) {
    for (const OperationRow& row : Operations) {
        if (row.kind == kind) return &row;
    }
    return nullptr;
}

char MenuFor(const JobOperation& op, const OperationRow& row) {
    if (op.device == JobDevice::Handheld) return 'h';
    if (op.device == JobDevice::ComModule) return 'c';
    return op.board == 0 && !row.sensorMenu ? 'm' : 's';
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
        const OperationRow* row = RowOf(op.kind);
        if (row == nullptr) continue;
        const char menu = MenuFor(op, *row);
        for (const StepRule& rule : row->steps) {
            if (rule.command == nullptr) break;
            if ((rule.menu != 0 && rule.menu != menu) || (rule.made != nullptr && !rule.made(op))) {
                continue;
            }
            EngineStep step;
            step.operation = i;
            step.menu = menu;
            step.command = rule.command;
            for (const AnswerRule& answer : rule.answers) {
                if (answer.prompt == nullptr) break;
                if ((answer.menu != 0 && answer.menu != menu) ||
                    (answer.given != nullptr && !answer.given(op))) {
                    continue;
                }
                step.answers.push_back({*answer.prompt, answer.answer(op, serial)});
            }
            steps.push_back(std::move(step));
        }
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
    SetDeclineObserver(&Declined, &progress);
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
    SetDeclineObserver(nullptr, nullptr);
    Active = nullptr;
    run.ended = UtcNow();
}
