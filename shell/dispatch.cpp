// The command dispatch: from the code a menu chose to the operation that
// carries it out. Codes without an entry do nothing.
#include <array>

#include "firmware/firmware.h"
#include "protocol/commands.h"
#include "service/service.h"
#include "shell/shell.h"

namespace {

struct DispatchEntry {
    uint8_t code;
    void (*handler)();
};

constexpr std::array<DispatchEntry, 10> DispatchTable{{
    {Command::DeviceListing, ListDevices},
    {Command::IdStringRead, ShowSystemId},
    {Command::BoardReset, ResetBoard},
    {Command::DeviceReport, ShowConfiguration},
    {Command::BoardOperation, ClearLogOrFormat},
    {Command::SettingWrite, WriteSetting},
    {Command::SetSerialNumber, SetSerialNumber},
    {Command::SetBuildDate, SetBuildDate},
    {Command::SetMaintenance, SetMaintenance},
    {Command::FirmwareDownload, DownloadFirmware},
}};

}  // namespace

void DispatchCommand(uint8_t code) {
    for (const DispatchEntry& entry : DispatchTable) {
        if (entry.code == code) {
            entry.handler();
            return;
        }
    }
}
