// Runs the real quillon-sim process with scripted standard input and a
// scenario, and collects what the technician would have seen and what went
// over the wire.
#pragma once

#include <map>
#include <string>
#include <vector>

struct SessionOptions {
    std::string input;                          // everything typed, closed afterwards
    std::string scenarioJson;                   // empty: the built-in default instrument
    std::map<std::string, std::string> env;     // extra environment, e.g. TZ
    std::string workDir;                        // empty: a fresh temporary folder, removed after
    int timeoutSeconds = 120;                   // the session is killed after this
    std::string program;                        // empty: quillon-sim; else a program beside it
    std::vector<std::string> arguments;         // its command-line arguments
};

struct SessionResult {
    int exitCode = -1;        // -1 when killed or not exited normally
    bool timedOut = false;
    std::string output;       // standard output
    std::string errors;       // standard error
    std::vector<std::string> wire;  // wire log lines, in order
    std::string workDir;      // the folder the program ran in
};

// The path of the quillon-sim program under test.
std::string QuillonSimPath();
// The path of another program of the build (e.g. "quillon-trace"), beside quillon-sim.
std::string ProgramPath(const std::string& name);

// Runs quillon-sim once. On Windows its text-mode "\r\n" line ends come
// back as "\n", so that output and errors read the same on every platform.
SessionResult RunSession(const SessionOptions& options);

// Wire log lines for frames sent by the program ("> ..."), in order.
std::vector<std::string> SentFrames(const SessionResult& result);

// Number of times needle occurs in haystack.
int CountOf(const std::string& haystack, const std::string& needle);

// An entry of the folder "firmware" as the program shows its path: the
// folder, the platform's separator ('\\' on Windows, '/' elsewhere), name.
std::string FirmwarePath(const std::string& name);
