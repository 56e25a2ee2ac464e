// The questions of the firmware download at the console, each declared once:
// the download prints them from here, and whatever answers the console in a
// technician's place keys its answers to the same declarations.
#pragma once

#include "terminal/console_io.h"

// The catalogue's entry to download (the line before it is left blank).
inline constexpr ConsolePrompt FirmwareChoicePrompt{"Enter the number of the firmware you want: "};
// The device number inside the sonde that receives the image.
inline constexpr ConsolePrompt DownloadDevicePrompt{"What device? "};
