// The platform half of the session runner: a fresh work folder, the path of
// the program under test, and one run of it with its standard streams, its
// environment and a time bound. session.cpp prepares the files around it.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/session.h"

struct SessionLaunch {
    std::filesystem::path workDir;    // the program's working folder
    std::filesystem::path inputPath;  // becomes its standard input
    // Environment of the program: the test's own, less the names in unset,
    // then each (name, value) of set in order (a later one wins).
    std::vector<std::string> unset;
    std::vector<std::pair<std::string, std::string>> set;
    int timeoutSeconds = 120;
    std::string program;                 // the program to run
    std::vector<std::string> arguments;  // its arguments
};

// A new empty folder for one session; empty when none could be made.
std::string MakeSessionDir();

// The whole content of a file, as bytes; empty when it cannot be read.
std::string ReadSessionFile(const std::filesystem::path& path);

// Runs the launch's program once and fills exitCode, timedOut, output and errors
// of result. The transcript reads as on Linux: "\n" ends a line.
void RunSessionProcess(const SessionLaunch& launch, SessionResult& result);
