#pragma once
#include <cstdint>

// The sonde model last named (4 or 7); starts at 4.
extern uint8_t SondeModel;

inline constexpr uint8_t FamilyDepth = 8;
inline constexpr uint8_t FamilyFluorometer = 11;
inline constexpr uint8_t FamilySonde = 202;

// The catalogue text of a device or component as the console prints it,
// blank before and after (" KDO "); nullptr for a model that a family with
// listed models does not know.
const char* CatalogueName(uint8_t family, uint8_t model);
// Prints the catalogue name of a device or component and a line feed;
// naming a sonde records its model in SondeModel.
void PrintDeviceName(uint8_t family, uint8_t model);
