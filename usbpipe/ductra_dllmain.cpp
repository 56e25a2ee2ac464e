// ductra.dll's entry routine: the device is released when the process
// unloads the library and whenever a thread of the process ends.
#include <windows.h>

#include "usbpipe/ductra_internal.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_DETACH || reason == DLL_THREAD_DETACH) ductra::PipeClose();
    return TRUE;
}
