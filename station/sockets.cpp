// Test sockets: the parent station, its children (the station itself, one
// per socket) and the status board.
//
// A child's standard output and standard error go to one pipe, written by
// the child's one thread in order: a line starting with '{' is a result
// document, a line starting with "quillon-station: " a progress or outcome
// line of the station's own (the child runs with its progress on, each
// download block counted as "block i of m"). The parent forwards the
// documents to its standard output whole, one line each, and turns the
// progress lines into the socket's status. The children append to the one
// results file themselves, under its lock, and take their serial numbers
// from the one series under the counter's lock.
#include "station/sockets.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
extern char** environ;
#endif

#include "station/tally.h"
#include "usbpipe/port_chain.h"

namespace {

// One socket as the parent follows it.
struct Slot {
    TestSocket socket;
    std::string status;
    std::chrono::steady_clock::time_point lastShown;
    OutcomeTally tally;
    int exitCode = 0;
    bool finished = false;
#if defined(_WIN32)
    HANDLE process = nullptr;
    HANDLE output = nullptr;
#else
    pid_t pid = -1;
    int output = -1;
#endif
};

struct Board {
    std::mutex lock;
    std::vector<Slot> slots;
    bool terminal = false;
    bool drawn = false;
    bool dirty = false;
    const SocketRun* run = nullptr;
    int (*severity)(int) = nullptr;
    const char* (*words)(int) = nullptr;
};

void Draw(Board& board) {
    if (board.drawn) std::fprintf(stderr, "\x1b[%zuA", board.slots.size());
    for (const Slot& slot : board.slots) {
        std::fprintf(stderr, "\r\x1b[2Kquillon-station: socket %s: %s\n", slot.socket.name.c_str(),
                     slot.status.c_str());
    }
    std::fflush(stderr);
    board.drawn = true;
    board.dirty = false;
}

// A socket's new status: redrawn on a terminal (by the main loop), a line of
// its own otherwise; a download's block count at most every 2 s.
void Show(Board& board, Slot& slot, const std::string& status, bool block = false) {
    slot.status = status;
    if (board.terminal) {
        board.dirty = true;
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (block && now - slot.lastShown < std::chrono::seconds(2)) return;
    slot.lastShown = now;
    std::fprintf(stderr, "quillon-station: socket %s: %s\n", slot.socket.name.c_str(),
                 status.c_str());
    std::fflush(stderr);
}

void Count(Board& board, Slot& slot, int exitCode) {
    CountOutcome(slot.tally, exitCode == 0, board.words(exitCode));
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// One line from a socket's child.
void Take(Board& board, Slot& slot, const std::string& line) {
    if (!line.empty() && line.back() == '\r')
        return Take(board, slot, line.substr(0, line.size() - 1));
    if (!line.empty() && line[0] == '{') {
        const nlohmann::json document = nlohmann::json::parse(line, nullptr, false);
        if (document.is_object() && document.contains("exit_code") &&
            document["exit_code"].is_number_integer()) {
            Count(board, slot, document["exit_code"].get<int>());
        }
        board.run->document(line);
        return;
    }
    const std::string prefix = "quillon-station: ";
    if (line.rfind(prefix, 0) != 0) {
        if (!line.empty()) Show(board, slot, line);
        return;
    }
    const std::string message = line.substr(prefix.size());
    if (message.find("first-pass yield ") != std::string::npos) return;  // the parent sums up
    if (message.rfind("operation ", 0) == 0) {
        const std::size_t block = message.find(": block ");
        if (block != std::string::npos) {
            Show(board, slot,
                 "running " + message.substr(0, block) + ": download " + message.substr(block + 2),
                 true);
        } else if (EndsWith(message, ": started")) {
            Show(board, slot, "running " + message.substr(0, message.size() - 9));
        } else {
            Show(board, slot, message);
        }
    } else if (message == "attach the first instrument") {
        Show(board, slot, "waiting for the first instrument");
    } else if (message == "remove the instrument and attach the next one") {
        Show(board, slot, "waiting: remove the instrument and attach the next one");
    } else {
        Show(board, slot, message);
    }
}

#if defined(_WIN32)
// One argument as the C runtime's command-line reader takes it back.
std::string Quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t slashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        quoted.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        quoted += c;
    }
    quoted.append(slashes * 2, '\\');
    return quoted + "\"";
}

int Start(const SocketRun& run, Slot& slot, std::string& error) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = "cannot make a pipe: error " + std::to_string(GetLastError());
        return 1;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    char self[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = Quoted(run.program) + " --socket-child " + Quoted(slot.socket.name);
    for (const std::string& argument : run.arguments) command += " " + Quoted(argument);
    SetEnvironmentVariableA("DUCTRA_DEVICE", ("port=" + slot.socket.port).c_str());
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = writeEnd;
    start.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    const BOOL started = length > 0 && length < sizeof self &&
                         CreateProcessA(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &start, &process);
    const DWORD why = GetLastError();
    SetEnvironmentVariableA("DUCTRA_DEVICE", nullptr);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        error = "cannot start the station: error " + std::to_string(why);
        return 1;
    }
    CloseHandle(process.hThread);
    slot.process = process.hProcess;
    slot.output = readEnd;
    return 0;
}

// Reads a chunk of the child's pipe; 0 at its end.
long ReadChunk(Slot& slot, char* into, std::size_t capacity) {
    DWORD got = 0;
    if (!ReadFile(slot.output, into, static_cast<DWORD>(capacity), &got, nullptr)) return 0;
    return static_cast<long>(got);
}

// How the child ended: its exit code, or -1 with why in words.
int Ended(Slot& slot, std::string& why) {
    CloseHandle(slot.output);
    WaitForSingleObject(slot.process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(slot.process, &code);
    CloseHandle(slot.process);
    if (code <= 8) return static_cast<int>(code);
    why = "its process ended with exit code " + std::to_string(code);
    return -1;
}

void Forward(Board&) {
    // Ctrl-C reaches every process of the console, each child with it.
}
#else
int Start(const SocketRun& run, Slot& slot, std::string& error) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return 1;
    }
    // The socket first: a command-line operation takes every argument after it.
    std::vector<std::string> arguments = {run.program, "--socket-child", slot.socket.name};
    arguments.insert(arguments.end(), run.arguments.begin(), run.arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string device = "DUCTRA_DEVICE=port=" + slot.socket.port;
    std::vector<char*> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "DUCTRA_DEVICE=", 14) != 0) env.push_back(*entry);
    }
    env.push_back(device.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
    // Its own process group: a terminal's Ctrl-C reaches the parent alone,
    // which hands each press on to every socket once.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        error = std::string("cannot start the station: ") + std::strerror(failed);
        return 1;
    }
    slot.pid = pid;
    slot.output = ends[0];
    return 0;
}

long ReadChunk(Slot& slot, char* into, std::size_t capacity) {
    for (;;) {
        const ssize_t got = read(slot.output, into, capacity);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return 0;
    }
}

int Ended(Slot& slot, std::string& why) {
    close(slot.output);
    int status = 0;
    while (waitpid(slot.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) <= 8) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
        why = "its process was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
              strsignal(WTERMSIG(status)) + ")";
    } else {
        why = "its process ended with exit code " + std::to_string(WEXITSTATUS(status));
    }
    return -1;
}

// Hands an interrupt on to every socket still running.
void Forward(Board& board) {
    for (const Slot& slot : board.slots) {
        if (!slot.finished && slot.pid > 0) kill(slot.pid, SIGINT);
    }
}
#endif

// Follows one socket's child to its end.
void Follow(Board& board, Slot& slot) {
    std::string pending;
    char chunk[4096];
    for (long got; (got = ReadChunk(slot, chunk, sizeof chunk)) > 0;) {
        pending.append(chunk, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::lock_guard<std::mutex> hold(board.lock);
            Take(board, slot, line);
        }
    }
    std::string why;
    const int code = Ended(slot, why);
    std::lock_guard<std::mutex> hold(board.lock);
    if (!pending.empty()) Take(board, slot, pending);
    if (code >= 0) {
        slot.exitCode = code;
    } else {
        slot.exitCode = board.run->failed(slot.socket, why);
        Count(board, slot, slot.exitCode);
        Show(board, slot, why + ": " + board.words(slot.exitCode));
    }
    slot.finished = true;
}

}  // namespace

void LockResultsFile(int fd, bool take) {
#if defined(_WIN32)
    // A byte far beyond any results file's end serves as the lock.
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED at = {};
    at.Offset = 0xFFFFFFF0u;
    at.OffsetHigh = 0x7FFFFFFFu;
    if (take) {
        LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at);
    } else {
        UnlockFileEx(file, 0, 1, 0, &at);
    }
#else
    while (flock(fd, take ? LOCK_EX : LOCK_UN) != 0 && errno == EINTR) {
    }
#endif
}

bool IsSocketName(const std::string& text) {
    if (text.empty() || text.size() > 32) return false;
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!plain) return false;
    }
    return true;
}

int ParseSockets(const std::vector<std::string>& values, std::vector<TestSocket>& sockets,
                 std::string& error) {
    std::set<std::string> names, ports;
    for (const std::string& value : values) {
        const std::size_t equals = value.find('=');
        TestSocket socket;
        if (equals != std::string::npos)
            socket = {value.substr(0, equals), value.substr(equals + 1)};
        if (equals == std::string::npos || !IsSocketName(socket.name) ||
            !ductra::IsPortChain(socket.port)) {
            error = "--socket " + value +
                    ": expected NAME=PORT, NAME a plain word (letters, digits, _ and -) and PORT "
                    "a USB port chain such as 1-4.2";
            return 1;
        }
        if (!names.insert(socket.name).second) {
            error = "--socket " + value + ": the socket " + socket.name + " is named twice";
            return 1;
        }
        if (!ports.insert(socket.port).second) {
            error = "--socket " + value + ": the port " + socket.port + " is given twice";
            return 1;
        }
        sockets.push_back(socket);
    }
    return 0;
}

int RunSockets(const SocketRun& run, int (*severity)(int), const char* (*outcomeWords)(int)) {
    Board board;
    board.run = &run;
    board.severity = severity;
    board.words = outcomeWords;
    board.terminal = run.terminal;
    board.slots.resize(run.sockets.size());
    std::vector<std::thread> followers;
    {
        std::lock_guard<std::mutex> hold(board.lock);
        for (std::size_t i = 0; i < run.sockets.size(); ++i) {
            board.slots[i].socket = run.sockets[i];
            Show(board, board.slots[i], "starting on port " + run.sockets[i].port);
        }
    }
    for (Slot& slot : board.slots) {
        std::string error;
        if (Start(run, slot, error) != 0) {
            std::lock_guard<std::mutex> hold(board.lock);
            slot.exitCode = run.failed(slot.socket, error);
            Count(board, slot, slot.exitCode);
            Show(board, slot, error + ": " + outcomeWords(slot.exitCode));
            slot.finished = true;
            continue;
        }
        followers.emplace_back([&board, &slot] { Follow(board, slot); });
    }
    std::sig_atomic_t seen = *run.interrupts;
    for (bool all = false; !all;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> hold(board.lock);
        for (; seen != *run.interrupts; ++seen) Forward(board);
        if (board.terminal && board.dirty) Draw(board);
        all = true;
        for (const Slot& slot : board.slots) all = all && slot.finished;
    }
    for (std::thread& follower : followers) follower.join();
    if (board.terminal) Draw(board);
    int worst = 0;
    OutcomeTally all;
    for (const Slot& slot : board.slots) {
        std::fprintf(stderr, "quillon-station: socket %s: %s\n", slot.socket.name.c_str(),
                     TallyWords(slot.tally).c_str());
        if (severity(slot.exitCode) > severity(worst)) worst = slot.exitCode;
        AddTally(all, slot.tally);
    }
    std::fprintf(stderr, "quillon-station: all sockets: %s\n", TallyWords(all).c_str());
    std::fflush(stderr);
    return worst;
}
