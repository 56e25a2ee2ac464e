// Random console sessions: seeded streams of keystrokes (valid answers,
// garbage, over-long tokens, numbers out of every range, end of input at any
// point) typed into the whole program, start-up included, against the
// virtual instrument in-process. Every session must end (by its input
// running out or by a quit) within its time bound, and the sanitizer builds
// must see no fault. The clock is a counter, so the program's waits cost
// nothing and ten thousand sessions take seconds rather than hours.
//
// Usage: random_sessions [sessions] [first seed] [show]
// With "show", each session's typing and screen are printed (for a look at one).
#include <fcntl.h>
#include <unistd.h>
#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "fuzz/fuzz_support.h"
#include "shell/shell.h"
#include "sim/sim.h"
#include "terminal/console_io.h"

namespace {

// Seconds one session may take before it counts as hung.
constexpr unsigned SessionTimeBound = 20;

volatile sig_atomic_t currentSession = 0;

void SessionHung(int) {
    char line[96];
    const int n = std::snprintf(line, sizeof line, "session %d did not end within %u s\n",
                                static_cast<int>(currentSession), SessionTimeBound);
    if (n > 0) (void)!write(2, line, static_cast<std::size_t>(n));
    _exit(2);
}

// A firmware folder with a good image, a one-block image, a file too short
// to hold a header, and a sub-folder; the run works in it. Returns its path.
std::filesystem::path MakeWorkFolder() {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("quillon-sessions-" + std::to_string(getpid()));
    fs::create_directories(dir / "firmware" / "old");
    std::ofstream good(dir / "firmware" / "sensor-3.6.bin", std::ios::binary);
    const char header[] = {0, 0, static_cast<char>(0x86), 0x01};
    good.write(header, sizeof header);
    // The data begin with the code version word the board runs afterwards,
    // and are three whole blocks: an image with a part block is refused.
    for (int i = 0; i < 3 * 256; ++i)
        good.put(static_cast<char>(i == 0 ? 0x86 : i == 1 ? 1 : i));
    good.close();
    std::ofstream tiny(dir / "firmware" / "tiny.bin", std::ios::binary);
    tiny.write(header, 2);
    tiny.close();
    fs::current_path(dir);
    return dir;
}

const char* const Answers[] = {"m",  "s",  "h",  "c",  "rm", "ll", "si", "rs", "cn", "cl",
                               "sf", "sb", "sn", "bd", "md", "dl", "LL", "Q",  "x",  "mm"};

std::string Token(std::mt19937& random) {
    const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    switch (pick(10)) {
        case 0:
        case 1:
        case 2:
        case 3:
            return Answers[pick(sizeof Answers / sizeof *Answers)];
        case 4:
        case 5:
            return std::to_string(pick(8));  // small numbers: addresses, levels, choices
        case 6: {
            static const char* const odd[] = {"-1",          "256", "300", "65536", "99999999999",
                                              "-2147483649", "0",   "3x",  "+5",    "-"};
            return odd[pick(sizeof odd / sizeof *odd)];
        }
        case 7: {  // garbage words
            std::string word;
            for (uint32_t i = 0, n = 1 + pick(12); i < n; ++i)
                word += static_cast<char>('!' + pick(94));
            return word;
        }
        case 8: {  // over-long tokens
            return std::string(20 + pick(60), static_cast<char>('A' + pick(26)));
        }
        default: {  // raw bytes, control characters included
            std::string raw;
            for (uint32_t i = 0, n = 1 + pick(4); i < n; ++i)
                raw += static_cast<char>(1 + pick(255));
            return raw;
        }
    }
}

std::string Keystrokes(uint32_t seed) {
    std::mt19937 random(seed);
    std::string typed;
    const uint32_t tokens = 1 + random() % 60;
    for (uint32_t i = 0; i < tokens; ++i) {
        // A quit ends a session early; keep it rare so that sessions go deep.
        typed += random() % 100 == 0 ? std::string("q") : Token(random);
        typed += random() % 5 == 0 ? " " : "\n";
    }
    // End of input anywhere, also in the middle of a token.
    if (random() % 4 == 0 && !typed.empty()) typed.resize(random() % typed.size());
    return typed;
}

}  // namespace

int main(int argc, char** argv) {
    const long sessions = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
    const long firstSeed = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1;
    const bool show = argc > 3 && std::string(argv[3]) == "show";
    const std::filesystem::path folder = MakeWorkFolder();
    // The library's version line goes to standard output; the program's own
    // console is discarded by the run. Keep standard output for the summary.
    std::FILE* summary = fdopen(dup(1), "w");
    if (std::freopen("/dev/null", "w", stdout) == nullptr || summary == nullptr) return 1;
    std::signal(SIGALRM, SessionHung);

    long quits = 0;
    long inputEnds = 0;
    for (long i = 0; i < sessions; ++i) {
        currentSession = static_cast<int>(i);
        alarm(SessionTimeBound);
        const std::string typed = Keystrokes(static_cast<uint32_t>(firstSeed + i));
        DuctraSimRestart(nullptr, nullptr);
        ResetProgramState();
        MenuState = MenuTop;
        FuzzRun run(typed);
        if (show) {
            std::fprintf(summary, "=== session %ld typed: [%s]\n", i, typed.c_str());
            SetConsoleStreams(ConsoleInput(), summary);
        }
        try {
            RunProgram();
            std::fprintf(summary, "session %ld: the program returned from its main loop\n", i);
            return 1;
        } catch (const FuzzProgramEnded& ended) {
            if (ended.exitCode == 0) {
                ++quits;
            } else if (ended.exitCode == 3) {
                ++inputEnds;
            } else {
                std::fprintf(summary, "session %ld: unexpected exit code %d\n", i, ended.exitCode);
                return 1;
            }
        }
    }
    alarm(0);
    std::fprintf(summary,
                 "random sessions: %ld run, %ld ended by a quit, %ld by the end of input\n",
                 sessions, quits, inputEnds);
    std::fprintf(summary, "%ld passed, 0 failed\n", sessions);
    // A failed run keeps its folder to be looked at; a passed one leaves
    // nothing behind.
    std::error_code ignored;
    std::filesystem::current_path(folder.parent_path(), ignored);
    std::filesystem::remove_all(folder, ignored);
    return 0;
}
