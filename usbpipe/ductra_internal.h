// ductra's internals shared by the exports, the platform backend and the
// library's own tests. Nothing here is exported from the shared library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbpipe/ductra.h"
#include "usbpipe/pipe_backend.h"

namespace ductra {

// The platform backend's open, send, receive and close: what the exports of
// the same names do, without the trace. The library's own releases (before
// an open, at unload, when a thread ends) call PipeClose, so that the trace
// holds the program's calls only.
int32_t PipeOpen(const DeviceChoice& choice);
int32_t PipeSend(uint8_t* buffer, uint32_t length, int32_t timeout);
int32_t PipeReceive(uint8_t* buffer, int32_t capacity, int32_t timeout, uint32_t* count);
int32_t PipeClose();

}  // namespace ductra
