// The menus' questions at the console, each declared once: the menus print
// them from here, and whatever answers the console in a technician's place
// keys its answers (and tells which menu is shown) by the same declarations.
#pragma once

#include "terminal/console_io.h"

inline constexpr ConsolePrompt TopMenuPrompt{"Service choice: "};
inline constexpr ConsolePrompt SensorMenuPrompt{"Device cmd: "};
inline constexpr ConsolePrompt MainBoardMenuPrompt{"Main Board cmd: "};
inline constexpr ConsolePrompt HandheldMenuPrompt{"Vantor cmd: "};
inline constexpr ConsolePrompt ComModuleMenuPrompt{"Com Module cmd: "};
