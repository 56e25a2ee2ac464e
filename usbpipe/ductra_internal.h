// ductra's internals shared by the exports, the platform backend and the
// library's own tests. Nothing here is exported from the shared library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbpipe/ductra.h"

#if defined(__MINGW32__)
#define DUCTRA_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#define DUCTRA_VPRINTF_FORMAT __attribute__((format(gnu_printf, 1, 0)))
#else
#define DUCTRA_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#define DUCTRA_VPRINTF_FORMAT __attribute__((format(printf, 1, 0)))
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

// The platform backend's open, send, receive and close: what the exports of
// the same names do, without the trace. The library's own releases (before
// an open, at unload, when a thread ends) call PipeClose, so that the trace
// holds the program's calls only.
int32_t PipeOpen();
int32_t PipeSend(uint8_t* buffer, uint32_t length, int32_t timeout);
int32_t PipeReceive(uint8_t* buffer, int32_t capacity, int32_t timeout, uint32_t* count);
int32_t PipeClose();

}  // namespace ductra
