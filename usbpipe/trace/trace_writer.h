// The trace of what crosses the pipe: one text line per DuctraOpen,
// DuctraSend, DuctraReceive and DuctraClose of the program, appended to the
// file that DUCTRA_TRACE names. One writer, built once, serves the USB
// library and the virtual instrument; each library names itself in
// TraceLibraryName and TraceLibraryVersion. The format is described in
// doc/trace-format.md. Nothing here is exported from the shared libraries.
#pragma once

#include <cstdint>

namespace ductra {

// Defined by the library the writer is linked into: "ductra" or
// "ductra-sim", and its version. The name also begins the writer's messages.
extern const char TraceLibraryName[];
extern const char TraceLibraryVersion[];

// Each traced export calls one of these once its work is done. The first one
// reads DUCTRA_TRACE: a file named there is appended to (a header line
// starts the trace); unset or empty, nothing is ever written. A file that
// cannot be written, or that another program is tracing into, gives one line
// on standard error and the program runs untraced. Every line is in the file
// when the call returns. Safe to call from several threads: lines never mix.
// None of these changes errno or the thread's last error, which the program
// reports after a failed exchange.
void TraceOpen(int32_t result);
void TraceSend(const uint8_t* buffer, uint32_t length, int32_t timeout, int32_t result);
void TraceReceive(const uint8_t* buffer, int32_t capacity, int32_t timeout, int32_t result,
                  const uint32_t* count);
void TraceClose(int32_t result);

// Ends the trace now and starts a new one into path (UTF-8; null or empty:
// none). For the library's own tests, which trace in-process without the
// environment.
void TraceRestart(const char* path);

// The platform's name in a trace header: linux, windows, macos.
const char* TracePlatformName();

}  // namespace ductra
