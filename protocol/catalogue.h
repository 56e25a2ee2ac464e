#pragma once
#include <cstdint>

// The sonde model last named (4 or 7); starts at 4.
extern uint8_t SondeModel;

inline constexpr uint8_t FamilyDepth = 8;
inline constexpr uint8_t FamilyFluorometer = 11;
inline constexpr uint8_t FamilySonde = 202;

// Prints the catalogue name of a device or component and a line feed;
// naming a sonde records its model in SondeModel.
void PrintDeviceName(uint8_t family, uint8_t model);
