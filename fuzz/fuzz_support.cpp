#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "link/link_state.h"
#include "protocol/catalogue.h"
#include "protocol/time_format.h"
#include "shell/shell.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"
#include "terminal/program_end.h"

namespace {

uint64_t fakeNow = 0;
uint64_t FakeClockMs() {
    return ++fakeNow;
}

[[noreturn]] void ThrowInputEnded() {
    throw FuzzProgramEnded{EndOfInputExitCode};
}
[[noreturn]] void ThrowProgramEnded(int code) {
    throw FuzzProgramEnded{code};
}

FILE* Discard() {
    static FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

// The console input of the current run: an in-memory stream over a copy of
// the typed text, since the console helpers read through a FILE*.
FILE* input = nullptr;
std::string typed;

}  // namespace

std::string_view FuzzBytes::Take(std::size_t n) {
    const std::size_t take = std::min(n, Left());
    std::string_view bytes(reinterpret_cast<const char*>(data_ + at_), take);
    at_ += take;
    return bytes;
}

FuzzRun::FuzzRun(std::string_view text) {
    // An empty stream is a single blank: no answer, then the end of input.
    typed.assign(text.empty() ? std::string_view(" ") : text);
    input = fmemopen(typed.data(), typed.size(), "r");
    SetConsoleStreams(input, Discard());
    SetEndOfInputHandler(&ThrowInputEnded);
    SetProgramEndHandler(&ThrowProgramEnded);
    SetClockSource(&FakeClockMs);
}

FuzzRun::~FuzzRun() {
    SetConsoleStreams(stdin, stdout);
    SetEndOfInputHandler(nullptr);
    SetProgramEndHandler(nullptr);
    SetClockSource(nullptr);
    std::fclose(input);
    input = nullptr;
}

void ResetProgramState() {
    ResetLinkState();
    MenuState = MenuTop;
    SondeModel = 4;
    UtcOffset = 0;
    BuildCalendarTables(Calendar);
    // Working link settings, as after start-up.
    DeviceAddress = 1;
    ReceiveTimeout = WorkingReceiveTimeoutMs;
    LinkQuiet = 1;
}
