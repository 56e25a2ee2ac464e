// The names of the commands and of the bus addresses, as the command
// catalogue gives them.
#include "protocol/commands.h"

const char* CommandName(uint8_t command) {
    switch (command) {
        case Command::SystemReset:
            return "System Reset";
        case Command::SystemSleep:
            return "System Sleep";
        case Command::SystemStayAwake:
            return "System Stay Awake";
        case Command::DeviceEnable:
            return "System Device Enable";
        case Command::DeviceDisable:
            return "System Device Disable";
        case Command::DeviceListing:
            return "System Device Report";
        case Command::IdStringRead:
            return "System ID String Read";
        case Command::IdStringWrite:
            return "System ID String Write";
        case Command::BoardReset:
            return "Board reset";
        case Command::DeviceReport:
            return "Device Report";
        case Command::BoardOperation:
            return "Board operation";
        case Command::SettingWrite:
            return "Setting write";
        case Command::SetSerialNumber:
            return "Set serial number";
        case Command::SetBuildDate:
            return "Set build date";
        case Command::SetMaintenance:
            return "Set maintenance date and interval";
        case Command::BootloaderEnter:
            return "System Device Bootloader Enter";
        case Command::BootloaderAttributes:
            return "System Device Bootloader Attributes";
        case Command::BootloaderReadPage:
            return "System Device Bootloader Read Page";
        case Command::BootloaderWritePage:
            return "System Device Bootloader Write Page";
        case Command::BootloaderErase:
            return "System Device Bootloader FLASH Erase";
        default:
            return nullptr;
    }
}

const char* BusDeviceName(uint8_t address) {
    switch (address) {
        case AddressBroadcast:
            return "broadcast";
        case AddressSonde:
            return "sonde";
        case AddressComModule:
            return "communications module";
        case AddressHandheld:
            return "handheld";
        default:
            return nullptr;
    }
}
