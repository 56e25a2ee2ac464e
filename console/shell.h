// Start-up, main loop, menus and the command dispatch.
#pragma once

#include <cstdint>

// The menu being shown: 1 top, 2 sensor boards, 3 main board, 4 Vantor LX,
// 5 communications module.
extern uint8_t MenuState;
inline constexpr uint8_t MenuTop = 1;
inline constexpr uint8_t MenuSensorBoards = 2;
inline constexpr uint8_t MenuMainBoard = 3;
inline constexpr uint8_t MenuHandheld = 4;
inline constexpr uint8_t MenuComModule = 5;

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
