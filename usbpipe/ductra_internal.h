// ductra's internals shared by the exports, the platform backend and the
// library's own tests. Nothing here is exported from the shared library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ductra.h"

#if defined(__MINGW32__)
#define DUCTRA_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#else
#define DUCTRA_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#endif

namespace ductra {

// Nonzero silences every message except the version line (DuctraChatty).
extern uint8_t QuietFlag;

// Where the library's console text goes. The default writes to standard
// output and flushes, so that the text interleaves with the program's own.
using OutputSink = void (*)(const char* text, std::size_t length);
// Replaces the sink; nullptr puts standard output back. Used by the tests.
void SetOutputSink(OutputSink sink);

// Prints a diagnostic line while the library is not quiet.
void Message(const char* format, ...) DUCTRA_PRINTF_FORMAT;
// Prints whatever the quiet switch holds (the version line).
void Announce(const char* format, ...) DUCTRA_PRINTF_FORMAT;

}  // namespace ductra
