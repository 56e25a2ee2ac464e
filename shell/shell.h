// Start-up, main loop, menus and the command dispatch.
#pragma once

#include <cstdint>

#include "service/menu_state.h"

// Start-up in its fixed order: version, calendar, time zone, open, drain,
// working settings.
void StartUp();
// Clears the screen, shows the current menu, reads one answer; true when a
// command was chosen (CommandCode holds it). May end the process (quit).
bool ShowMenu();
// Runs the handler for CommandCode; codes without a handler do nothing.
void DispatchCommand(uint8_t code);
// Start-up, then the main loop forever.
int RunProgram();
