// Device service operations: the menu commands that query or change one board.
#pragma once

#include <cstddef>
#include <cstdint>

// The zero-padded text fields of the serial-number requests (a serial
// number; the sonde's name), each this many bytes.
inline constexpr std::size_t SerialFieldSize = 20;

void ListDevices();        // 'll'
void ShowSystemId();       // 'si'
uint8_t LookUpDevices();   // the short listing of the top and sensor menus
void ResetBoard();         // 'rs'
void ShowConfiguration();  // 'cn'
void ClearLogOrFormat();   // 'cl'
void WriteSetting();       // 'sf' and 'sb'
void SetSerialNumber();    // 'sn'
void SetBuildDate();       // 'bd'
void SetMaintenance();     // 'md'
// Asks "Sensor address? " (or the given prompt) until a nonzero address is typed.
uint8_t AskSensorAddress(const char* prompt);
