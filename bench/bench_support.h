// What both benchmarks need: environment for the virtual instrument, a
// scratch folder, a wall clock and a processor-time clock, and the link opened as the program opens
// it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace bench {

// Sets an environment variable of this process (read by the instrument at
// its first open).
void SetEnvironment(const char* name, const std::string& value);
// A fresh folder under the system's temporary folder.
std::filesystem::path ScratchFolder(const std::string& stem);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// Microseconds of a steady clock.
uint64_t NowUs();
// Microseconds of processor time this process has used, in all its threads.
uint64_t CpuUs();
// Opens the pipe quietly and sets the working link state; the open result.
int32_t OpenLink();

}  // namespace bench
