// Test sockets: one station running its job on several instruments side by
// side, one process per socket (the link state is per process). The parent
// starts the station itself once per socket with DUCTRA_DEVICE naming the
// socket's port, reads each child's standard output and error from one
// pipe (its result documents and its progress lines), shows them as a
// status board, records a socket whose process failed or was killed, and
// ends with the worst exit code of all sockets.
#pragma once

#include <csignal>
#include <functional>
#include <string>
#include <vector>

struct TestSocket {
    std::string name;  // a plain word: letters, digits, '_' and '-'
    std::string port;  // a USB port chain, "1-4.2"
};

// Reads each --socket value NAME=PORT; 0, or 1 with error naming the value.
// A name or a port given twice is refused.
int ParseSockets(const std::vector<std::string>& values, std::vector<TestSocket>& sockets,
                 std::string& error);

// Whether text is a socket's name: 1 to 32 letters, digits, '_' or '-'.
bool IsSocketName(const std::string& text);

// Takes (or gives back) the results file's lock, held for one line: the
// stations of several sockets, and stations sharing the file, append one
// line at a time, so that a line cut short by one is ended before the next.
void LockResultsFile(int fd, bool take);

struct SocketRun {
    std::vector<TestSocket> sockets;
    std::vector<std::string> arguments;  // each child's argv[1..], without its socket
    std::string program;                 // the child's argv[0]
    const volatile std::sig_atomic_t* interrupts = nullptr;
    bool terminal = false;  // standard error is a terminal: the board is redrawn
    // A document (one line of JSON) from a socket's child.
    std::function<void(const std::string& line)> document;
    // Writes the record of a socket whose process failed or was killed
    // (why: in words) and returns its exit code.
    std::function<int(const TestSocket& socket, const std::string& why)> failed;
};

// Runs every socket to its end; the worst exit code of all sockets by the
// severity order given.
int RunSockets(const SocketRun& run, int (*severity)(int exitCode),
               const char* (*outcomeWords)(int exitCode));
