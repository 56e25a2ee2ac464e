// Closing and reopening the USB pipe after the device stopped making sense.
#include "usbpipe/ductra.h"
#include "link/link.h"
#include "terminal/console_io.h"

int32_t ReopenPipe(int32_t waitMs) {
    const int32_t closed = DuctraClose();
    ObservePipe(PipeCall::Close, closed);
    if (closed != 0) ConsolePrint("problem closing USB port! %d\n", closed);
    ConsolePrint("Waiting on reset... ");
    if (waitMs > 0) WaitMs(static_cast<uint32_t>(waitMs));
    ConsolePrint("Opening USB port.\n");
    const int32_t opened = DuctraOpen();
    ObservePipe(PipeCall::Open, opened);
    if (opened != 0) ConsolePrint("Failed to init USB port!\n");
    return opened;
}
