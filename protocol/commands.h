// Every command code the program sends, defined once.
#pragma once

#include <cstdint>

namespace Command {
// System commands: address the device as a whole.
inline constexpr uint8_t SystemReset = 0x02;        // empty payload
inline constexpr uint8_t SystemSleep = 0x03;        // empty payload
inline constexpr uint8_t SystemStayAwake = 0x04;    // 16-bit seconds
inline constexpr uint8_t DeviceEnable = 0x07;       // empty payload
inline constexpr uint8_t DeviceDisable = 0x08;      // empty payload
inline constexpr uint8_t DeviceListing = 0x09;      // System Device Report, empty payload
inline constexpr uint8_t IdStringRead = 0x0A;       // empty payload
inline constexpr uint8_t IdStringWrite = 0x0B;      // 20-byte name, 20-byte serial number
// Device commands: payload byte 0 is the board address.
inline constexpr uint8_t BoardReset = 0x81;         // board, level (0 soft, 1 factory)
inline constexpr uint8_t DeviceReport = 0x82;       // board, 0
inline constexpr uint8_t BoardOperation = 0x88;     // board, 1, 16-bit selector
inline constexpr uint8_t SettingWrite = 0x89;       // board, 1, setting id, 0, 32-bit values
inline constexpr uint8_t SetSerialNumber = 0x8A;    // board, 0, 20-byte text
inline constexpr uint8_t SetBuildDate = 0x8B;       // board, 0, 32-bit device time
inline constexpr uint8_t SetMaintenance = 0x8C;     // board, 0, 32-bit time, 32-bit interval
// Bootloader commands: payload byte 0 is the device number.
inline constexpr uint8_t BootloaderEnter = 0xF0;       // device, 0
inline constexpr uint8_t BootloaderAttributes = 0xF1;  // device, 0, 32-bit data length
inline constexpr uint8_t BootloaderReadPage = 0xF2;    // device, 0, 16-bit block number
inline constexpr uint8_t BootloaderWritePage = 0xF3;   // device, 0, 16-bit block number, data
inline constexpr uint8_t BootloaderErase = 0xF4;       // device, 0
// Menu dispatch value of the firmware download; never sent.
inline constexpr uint8_t FirmwareDownload = 0xFC;
}  // namespace Command

// Operation selectors of BoardOperation.
inline constexpr uint16_t SelectorClearCalibrationLog = 0x0F00;
inline constexpr uint16_t SelectorFormatLogMedia = 0x0061;
// Setting identifiers of SettingWrite.
inline constexpr uint8_t SettingFluorometerType = 2;
inline constexpr uint8_t SettingBatteryRange = 3;

// Bus addresses.
inline constexpr uint8_t AddressBroadcast = 0;
inline constexpr uint8_t AddressSonde = 1;
inline constexpr uint8_t AddressComModule = 2;
inline constexpr uint8_t AddressHandheld = 3;

// The catalogue name of a command code ("Device Report"); nullptr for a code
// the program never sends.
const char* CommandName(uint8_t command);
// The name of a bus address ("sonde"); nullptr for an address without one.
const char* BusDeviceName(uint8_t address);
// Whether the command's first payload byte is a board address (the device
// and bootloader commands).
inline bool CarriesBoard(uint8_t command) {
    return command >= Command::BoardReset;
}
