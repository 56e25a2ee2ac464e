#include "terminal/program_end.h"

#include <cstdio>
#include <cstdlib>

namespace {
ProgramEndHandler installedHandler = nullptr;
}

void SetProgramEndHandler(ProgramEndHandler handler) { installedHandler = handler; }

void EndProgram(int exitCode) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (installedHandler != nullptr) installedHandler(exitCode);
    std::exit(exitCode);
}
