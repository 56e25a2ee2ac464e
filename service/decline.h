// The board commands that the console declines before sending anything,
// each as a code, reported to an observer as the command declines.
#pragma once

#include <cstdint>

enum class Decline : uint8_t {
    None,
    DepthSensorSerial,  // 'sn': a depth sensor keeps its serial number
    NotFluorometer,     // 'sf': the board is not a fluorometer, which alone has a type
    ResetLevel,         // 'rs': a level other than 0 or 1
};

// Called with the observer's context, the code and the board it concerns
// (the device number inside the sonde) each time a command declines.
using DeclineObserver = void (*)(void* context, Decline decline, uint8_t board);
// Installs the observer and its context; nullptr removes it.
void SetDeclineObserver(DeclineObserver observer, void* context);
// Said by a command as it declines.
void ReportDecline(Decline decline, uint8_t board);
