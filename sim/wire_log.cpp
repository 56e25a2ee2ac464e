// The wire log: one line per frame sent by the program ("> ") and per
// transfer delivered to it ("< "), upper-case hexadecimal, flushed per line
// so that a log stays whole when the program ends abruptly.
#include <cstdio>

#include "sim/sim.h"

namespace Sim {

namespace {
std::FILE* LogFile = nullptr;
}

void WireLogOpen(const char* path) {
    WireLogClose();
    if (path == nullptr || *path == 0) return;
    LogFile = std::fopen(path, "wb");  // the same bytes on every platform
    if (LogFile == nullptr)
        std::fprintf(stderr, "ductra-sim: cannot write the wire log %s\n", path);
}

void WireLogClose() {
    if (LogFile != nullptr) std::fclose(LogFile);
    LogFile = nullptr;
}

void WireLogLine(char direction, std::span<const uint8_t> bytes) {
    if (LogFile == nullptr) return;
    std::fputc(direction, LogFile);
    for (uint8_t b : bytes) std::fprintf(LogFile, " %02X", b);
    std::fputc('\n', LogFile);
    std::fflush(LogFile);
}

}  // namespace Sim
