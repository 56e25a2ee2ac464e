// What makes the shared exports ductra's own: the name its trace lines carry
// and the platform backend behind the exports.
#include "usbpipe/ductra_internal.h"
#include "usbpipe/trace/trace_writer.h"

namespace ductra {

const char TraceLibraryName[] = "ductra";
const char TraceLibraryVersion[] = DUCTRA_LIBRARY_VERSION;

const PipeBackend Backend = {PipeOpen, PipeSend, PipeReceive, PipeClose, nullptr};

}  // namespace ductra
