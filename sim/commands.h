// The commands the virtual instrument understands, as its own firmware
// defines them. Kept apart from the program's command table on purpose: a
// wrong code in the program then shows as an unknown command here instead of
// being matched by the same mistake.
#pragma once

#include <cstdint>

namespace Sim {

namespace Command {
// System commands: the device as a whole.
inline constexpr uint8_t SystemReset = 0x02;
inline constexpr uint8_t SystemSleep = 0x03;
inline constexpr uint8_t SystemStayAwake = 0x04;
inline constexpr uint8_t DeviceEnable = 0x07;
inline constexpr uint8_t DeviceDisable = 0x08;
inline constexpr uint8_t DeviceListing = 0x09;
inline constexpr uint8_t IdStringRead = 0x0A;
inline constexpr uint8_t IdStringWrite = 0x0B;
// Device commands: payload byte 0 is the board address.
inline constexpr uint8_t BoardReset = 0x81;
inline constexpr uint8_t DeviceReport = 0x82;
inline constexpr uint8_t BoardOperation = 0x88;
inline constexpr uint8_t SettingWrite = 0x89;
inline constexpr uint8_t SetSerialNumber = 0x8A;
inline constexpr uint8_t SetBuildDate = 0x8B;
inline constexpr uint8_t SetMaintenance = 0x8C;
// Bootloader commands: payload byte 0 is the board address.
inline constexpr uint8_t BootloaderEnter = 0xF0;
inline constexpr uint8_t BootloaderAttributes = 0xF1;
inline constexpr uint8_t BootloaderReadPage = 0xF2;
inline constexpr uint8_t BootloaderWritePage = 0xF3;
inline constexpr uint8_t BootloaderErase = 0xF4;
}  // namespace Command

// Operation selectors of BoardOperation.
inline constexpr uint16_t SelectorClearCalibrationLog = 0x0F00;
inline constexpr uint16_t SelectorFormatLogMedia = 0x0061;
// Setting identifiers of SettingWrite.
inline constexpr uint8_t SettingFluorometerType = 2;
inline constexpr uint8_t SettingBatteryRange = 3;

// The sonde's bus address.
inline constexpr uint8_t AddressSonde = 1;

}  // namespace Sim
