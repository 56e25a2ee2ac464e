// Not written yet: the command does nothing until its owner lands it.
#include "firmware/firmware.h"

void DownloadFirmware() {}
