// The operator's text for every response status code.
#include "protocol/status.h"

#include <array>

#include "terminal/console_io.h"

namespace {

// Codes 0 to 23: the device's own status values.
constexpr std::array<const char*, 24> DeviceStatusTexts = {
    "Success\n",
    "Some communications failure.\n",
    "Not yet implemented, hold off for long execution time.\n",
    "Invalied command, not recognized.\n",
    "Invalid data, command malformed or improper config.\n",
    "Device not available, sent bad data.\n",
    "COmponent not available or sent bad data.\n",
    "Parameter not available, don't know what this is.\n",
    "Service not available or not known.\n",
    "Scheduled service not available or not known.\n",
    "Log not available, or data block not found.\n",
    "File system not available - Not supported in this device.\n",
    "TAVI bus CRC error.\n",
    "TAVI bus buffer overrun.\n",
    "Setup not available, not found.\n",
    "User does not have access rights. (Not implemented)\n",
    "Device Error, either device fault or command error.\n",
    "Data Not Ready, old log session active when a new session is triggered.\n",
    "TAVI Bus Timeout (Device not responding).\n",
    "Duplicate log file name.\n",
    "Log File System hardware failure, or log not found.\n",
    "LXFF media is not formatted or the format is corrupted.\n",
    "Log full, LXFF log has reached max capacity.\n",
    "Operation not allowed, trying to set the clock while log running or delete a log when a "
    "log running.\n",
};

// 251 is the low byte of the pipe's "no valid handle" result: the pipe is
// held by other software.
constexpr uint8_t PipeNotOpenCode = 251;
constexpr const char* PipeNotOpenText = "Close Quellis and this program and try again.\n";
constexpr const char* AsteriskLine = "************************************************\n";

constexpr const char* UnknownStatusText = "Huh? What is this?\n";

}  // namespace

void StatusMessage(uint8_t code) {
    ConsolePrint("  %d: ", code);
    if (code < DeviceStatusTexts.size()) {
        ConsolePrint("%s", DeviceStatusTexts[code]);
    } else if (code == PipeNotOpenCode) {
        ConsolePrint("%s", PipeNotOpenText);
        for (int line = 0; line < 3; ++line) ConsolePrint("%s", AsteriskLine);
    } else {
        ConsolePrint("%s", UnknownStatusText);
    }
}
