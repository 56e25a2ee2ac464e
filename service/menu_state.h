// The menu being shown. The menus set it; the board commands read it to know
// which kind of board they serve (the device's own board or a sensor board).
#pragma once

#include <cstdint>

// 1 top, 2 sensor boards, 3 main board, 4 Vantor LX, 5 communications module.
inline constexpr uint8_t MenuTop = 1;
inline constexpr uint8_t MenuSensorBoards = 2;
inline constexpr uint8_t MenuMainBoard = 3;
inline constexpr uint8_t MenuHandheld = 4;
inline constexpr uint8_t MenuComModule = 5;

inline uint8_t MenuState = MenuTop;
