// The operator's text for every response status code.
#include "protocol/status.h"

#include <array>

#include "terminal/console_io.h"

namespace {

// Codes 0 to 23: the device's own status values.
constexpr std::array<const char*, 24> DeviceStatusTexts = {
    "Success",
    "Some communications failure.",
    "Not yet implemented, hold off for long execution time.",
    "Invalied command, not recognized.",
    "Invalid data, command malformed or improper config.",
    "Device not available, sent bad data.",
    "COmponent not available or sent bad data.",
    "Parameter not available, don't know what this is.",
    "Service not available or not known.",
    "Scheduled service not available or not known.",
    "Log not available, or data block not found.",
    "File system not available - Not supported in this device.",
    "TAVI bus CRC error.",
    "TAVI bus buffer overrun.",
    "Setup not available, not found.",
    "User does not have access rights. (Not implemented)",
    "Device Error, either device fault or command error.",
    "Data Not Ready, old log session active when a new session is triggered.",
    "TAVI Bus Timeout (Device not responding).",
    "Duplicate log file name.",
    "Log File System hardware failure, or log not found.",
    "LXFF media is not formatted or the format is corrupted.",
    "Log full, LXFF log has reached max capacity.",
    "Operation not allowed, trying to set the clock while log running or delete a log when a "
    "log running.",
};

// 251 is the low byte of the pipe's "no valid handle" result: the pipe is
// held by other software.
constexpr uint8_t PipeNotOpenCode = 251;
constexpr const char* PipeNotOpenText = "Close Quellis and this program and try again.";
constexpr const char* AsteriskLine = "************************************************\n";

constexpr const char* UnknownStatusText = "Huh? What is this?";

}  // namespace

const char* StatusText(uint8_t code) {
    if (code < DeviceStatusTexts.size()) return DeviceStatusTexts[code];
    return code == PipeNotOpenCode ? PipeNotOpenText : UnknownStatusText;
}

void StatusMessage(uint8_t code) {
    ConsolePrint("  %d: %s\n", code, StatusText(code));
    if (code == PipeNotOpenCode) {
        for (int line = 0; line < 3; ++line) ConsolePrint("%s", AsteriskLine);
    }
}
