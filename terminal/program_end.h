// The one way the program ends: the quit answers (exit code 0) and the end
// of console input (EndOfInputExitCode). Tests and fuzz targets that run the
// program in-process install a handler that unwinds instead of exiting.
#pragma once

using ProgramEndHandler = void (*)(int exitCode);

// Flushes the console and ends the process with exitCode, or calls the
// installed handler (which must not return).
[[noreturn]] void EndProgram(int exitCode);
// nullptr restores the default (std::exit).
void SetProgramEndHandler(ProgramEndHandler handler);
