// Helpers of the end-to-end shell sessions: running quillon-sim, the request
// frames expected on the wire, and the fixed texts of the menus.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "link/frame.h"
#include "support/session.h"

namespace shell_e2e {

// A session with the given keyboard input and scenario (empty: the default
// instrument), in a zone whose daylight state does not matter to the test.
// Not named Run: inside a TEST body that name finds the test's own member.
inline SessionResult RunShell(const std::string& input, const std::string& scenario = {},
                              const std::string& tz = "UTC") {
    SessionOptions options;
    options.input = input;
    options.scenarioJson = scenario;
    options.env["TZ"] = tz;
    options.timeoutSeconds = 60;
    SessionResult result = RunSession(options);
    EXPECT_FALSE(result.timedOut);
    return result;
}

// The request frame for address, command and payload as the wire log shows it.
inline std::string Request(uint8_t address, uint8_t command, std::vector<uint8_t> payload = {}) {
    std::array<uint8_t, FrameCapacity> frame{};
    const std::size_t length = BuildFrame(address, command, payload, frame);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%.2X", frame[i]);
        if (i != 0) text += ' ';
        text += hex;
    }
    return text;
}

// Address and command of every frame the program sent, as "AA CC".
inline std::vector<std::string> Requests(const SessionResult& result) {
    std::vector<std::string> heads;
    for (const std::string& frame : SentFrames(result)) heads.push_back(frame.substr(0, 5));
    return heads;
}

inline const std::string SleepToSonde = Request(1, 0x03);
inline const std::string SystemReset = Request(1, 0x02);
inline const std::string DeviceListing = Request(1, 0x09);
inline const std::string StayAwake = Request(1, 0x04, {0x10, 0x0E});
inline const std::string OwnBoardReport = Request(1, 0x82, {0, 0});

inline const std::string TopMenu =
    "Limnora Quillon Program version ALPHA Version 1.6: 7/8/2022.\n"
    "Only one Com Module or one Vantor LX can be connected to USB at any time\n"
    "\n\n"
    "\tSelect an option and press <Enter>\n"
    "'m' for main board\n"
    "'s' for sensor board\n"
    "'h' for Vantor Handheld\n"
    "'c' for Com Module\n"
    "'q' to quit\n"
    "\n\n";

inline const std::string SensorMenu =
    "\tSensor Boards: Select an option and press <Enter> \n"
    "'ll' List devices and firmware revisions\n"
    "'rs' Reset sensor board, either simple reset or factory reset\n"
    "'cn' Show Sensor board configuration\n"
    "'bd' Set manufacturing date to today\n"
    "'md' Set maintenance date and interval to today with no interval\n"
    "'sn' Set serial number\n"
    "'sf' Set fluorometer type (for a fluorometer sensor only)\n"
    "'cl' Clear calibration log\n"
    "'dl' Download firmware (You choose)\n"
    "'rm' Return to main menu\n"
    "'q'  Quit\n"
    "\n\n";

inline const std::string MainBoardMenu =
    "\tMain Board: Select an option and press <Enter> \n"
    "'rs' Reset Main board, either simple reset or factory reset\n"
    "'cn' Show Main board configuration\n"
    "'si' Show Sonde Identification (Sonde name and serial number)\n"
    "'bd' Set manufacturing date to today\n"
    "'md' Set maintenance defaults\n"
    "'sn' Set serial number\n"
    "'sb' Set Battery range\n"
    "'cl' Format Log Media card\n"
    "'rm' Return to main menu\n"
    "'q'  Quit\n"
    "\n\n"
    "Main Board cmd: ";

inline const std::string HandheldMenu =
    "\tVantor LX: Select an option and press <Enter> \n"
    "'ll' List devices, database is called a sensor\n"
    "'rs' Vantor LX reset, either simple reset or factory reset\n"
    "'cn' Show Vantor LX configuration\n"
    "'bd' Set manufacturing date to today\n"
    "'sn' Set serial number\n"
    "'rm' Return to main menu\n"
    "'q'  Quit\n"
    "\n\n"
    "Vantor cmd: ";

inline const std::string ComModuleMenu =
    "\tCom Module: Select an option and press <Enter> \n"
    "'rs' Reset Com Module, either simple reset or factory reset\n"
    "'cn' Show Com Module configuration\n"
    "'bd' Set manufacturing date to today\n"
    "'sn' Set serial number\n"
    "'rm' Return to main menu\n"
    "'q'  Quit\n"
    "Calibration information is not used in the communications modules\n";

// The look-up of the default instrument, as the top menu shows it.
inline const std::string DefaultLookUp =
    "\nlooking up sensors...Currently connected LX system\n"
    "Device Address: 0,  LX7 sonde \n"
    "Device Address: 1,  Conductivity \n"
    "Device Address: 2,  pH/ORP \n"
    "Device Address: 3,  KDO \n"
    "Device Address: 4,  Turbidity/brush \n"
    "Device Address: 5,  Chlorophyll a \n"
    "Device Address: 6,  Depth 25m \n";

inline const std::string StayAwakeNotice =
    "\nI just told the sonde to stay awake for an hour.  \n"
    "To save battery power, reset sonde or remove the battery.\n";

// The text after the start-up lines ("Test TAVI channel").
inline std::string AfterStartUp(const std::string& output) {
    const std::string marker = "Test TAVI channel\n";
    const std::size_t at = output.find(marker);
    return at == std::string::npos ? std::string("<no start-up>")
                                   : output.substr(at + marker.size());
}

// quillon-trace with the arguments, in the folder.
inline SessionResult ReadTrace(const std::string& folder, std::vector<std::string> arguments) {
    SessionOptions options;
    options.program = "quillon-trace";
    options.arguments = std::move(arguments);
    options.workDir = folder;
    return RunSession(options);
}

// A line of the reader's with its run-dependent time replaced: the leading
// milliseconds of an exchange line by <ms>, the UTC time of a change by <utc>.
inline std::string LineWithoutTime(const std::string& line) {
    const std::size_t dot = line.find('.');
    if (dot != std::string::npos && dot + 6 <= line.size() && line.compare(dot + 4, 2, "  ") == 0 &&
        line.find_first_not_of(" 0123456789") == dot) {
        return "<ms>" + line.substr(dot + 4);
    }
    if (line.size() > 23 && line.compare(19, 4, " UTC") == 0) return "<utc>" + line.substr(23);
    return line;
}

// The reader's lines, each with its time replaced.
inline std::string WithoutTimes(const std::string& text) {
    std::istringstream lines(text);
    std::string out;
    for (std::string line; std::getline(lines, line);) out += LineWithoutTime(line) + "\n";
    return out;
}

}  // namespace shell_e2e
