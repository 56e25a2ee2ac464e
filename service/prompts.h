// The questions the board commands ask at the console, each declared once:
// the commands print them from here, and whatever answers the console in a
// technician's place keys its answers to the same declarations.
#pragma once

#include "terminal/console_io.h"

// The sensor board a command of the sensor boards menu serves.
inline constexpr ConsolePrompt SensorAddressPrompt{"Sensor address? "};
// The same question as the clear-log command words it.
inline constexpr ConsolePrompt ClearLogAddressPrompt{"Sensor address: "};
// Not asked of a depth sensor, which keeps its serial number.
inline constexpr ConsolePrompt SerialNumberPrompt{"Serial Number: ", true};
inline constexpr ConsolePrompt ResetLevelPrompt{"enter 0 or 1: "};
// Asked of a sensor board; the main board takes its defaults.
inline constexpr ConsolePrompt MaintenanceIntervalPrompt{"Maintenance interval (in days)? "};
// Asked on a model 4 sonde only; on another the default range is written
// without asking, so an answer prepared for it would be lost: not optional.
inline constexpr ConsolePrompt BatteryRangePrompt{"1 = NOBATT, 2 = IBP "};
// Not asked of a board that is not a fluorometer.
inline constexpr ConsolePrompt FluorometerTypePrompt{"Fluorometer? ", true};
