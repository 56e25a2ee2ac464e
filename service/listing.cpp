// Device listing ('ll'), sonde identification ('si') and the short look-up
// that the top and sensor boards menus run each time they are shown.
#include <cstddef>
#include <cstring>

#include "link/link.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "service/menu_state.h"
#include "service/service.h"
#include "terminal/console_io.h"

namespace {

constexpr uint16_t MaxDeviceRecords = 17;
constexpr std::size_t DeviceRecordSize = 6;
constexpr std::size_t ListingHeaderSize = 4;  // stabilization time, record count
constexpr std::size_t SystemNameSize = 20;
constexpr uint8_t StatusBusTimeout = 18;
constexpr uint8_t ResultBogusCount = 4;
constexpr uint16_t StayAwakeSeconds = 3600;
constexpr uint16_t LookUpPauseMs = 200;

// Device records wholly inside the received payload, at most `count`.
std::size_t RecordsReceived(uint16_t count, std::size_t payloadSize) {
    const std::size_t present = (payloadSize - ListingHeaderSize) / DeviceRecordSize;
    return count < present ? count : present;
}

// The request of the commands run from the menu: CommandCode already holds
// the code; the full receive result is kept in LastResult. True on success.
bool ExchangeEmptyRequest() {
    LastResult = ExchangeDirect(CommandCode, 0);
    return ResponseStatus == 0 && LastResult == 0;
}

void PrintDeviceRecord(const uint8_t* record) {
    const uint16_t version = ReadLe16(record + 4);
    ConsolePrint("Address:      %.2X\n", record[0]);
    ConsolePrint("Mask:         %.2X\n", record[1]);
    PrintDeviceName(record[2], record[3]);
    ConsolePrint("Family:       %d\n", record[2]);
    ConsolePrint("Model:        %d\n", record[3]);
    ConsolePrint("UI version:   %d\n", version >> 10);
    ConsolePrint("Code version: %d.%d\n\n", (version >> 7) & 0x7, version & 0x7F);
}

// Length of the text in a field of `size` bytes: up to its zero byte, or the
// whole field when it has none.
int TextLength(const char* field, std::size_t size) {
    const void* end = std::memchr(field, '\0', size);
    return static_cast<int>(end ? static_cast<const char*>(end) - field
                                : static_cast<std::ptrdiff_t>(size));
}

uint8_t TransactEmpty(uint8_t command) {
    return Transact(command, RequestPayload, 0, &ResponseLength);
}

}  // namespace

void ListDevices() {
    ConsolePrint("\nSystem Device Report\n");
    // An answer too short to hold its count is treated as a failed exchange.
    if (!ExchangeEmptyRequest() || ReceivedPayload(ResponseLength).size() < ListingHeaderSize) {
        PressReturn();
        return;
    }
    ResponseCursor = ResponseBuffer + ResponsePayloadOffset;
    const std::size_t payloadSize = ReceivedPayload(ResponseLength).size();
    const uint16_t count = ReadLe16(ResponseCursor + 2);
    ConsolePrint("\nMin Stabilization time: %d\n", ReadLe16(ResponseCursor));
    ConsolePrint("num devices: %d\n", count);
    ConsolePrint("\nController\n");
    if (count > MaxDeviceRecords) {
        ConsolePrint("bogus number of devices.\n");
        return;
    }
    const std::size_t records = RecordsReceived(count, payloadSize);
    ResponseCursor += ListingHeaderSize;
    for (std::size_t i = 0; i < records; ++i, ResponseCursor += DeviceRecordSize) {
        PrintDeviceRecord(ResponseCursor);
    }
    PressReturn();
}

void ShowSystemId() {
    ConsolePrint("\nSystem ID String Read\n");
    if (!ExchangeEmptyRequest()) {
        PressReturn();
        return;
    }
    // The name fills at most its 20-byte field, with or without its zero
    // byte; the serial number runs to its zero byte or to the end of the
    // bytes received, never further.
    const char* payload = reinterpret_cast<const char*>(ResponseBuffer + ResponsePayloadOffset);
    const std::size_t payloadSize = ReceivedPayload(ResponseLength).size();
    const std::size_t nameField = payloadSize < SystemNameSize ? payloadSize : SystemNameSize;
    const std::size_t serialField = payloadSize - nameField;
    const int nameLength = TextLength(payload, nameField);
    const int serialLength = TextLength(payload + nameField, serialField);
    ConsolePrint("\nSystem Name  ");
    ConsolePrint("%.*s\n", nameLength, payload);
    ConsolePrint("System S/N  ");
    ConsolePrint("%.*s\n", serialLength, payload + nameField);
    PressReturn();
}

uint8_t LookUpDevices() {
    ConsolePrint("\nlooking up sensors...");

    uint8_t result = TransactEmpty(Command::SystemReset);
    LastResult = result;
    if (result != 0) {
        result = TransactEmpty(Command::SystemReset);
        LastResult = result;
    }
    DelayMs(LookUpPauseMs);

    result = TransactEmpty(Command::DeviceListing);
    LastResult = result;
    if (result == StatusBusTimeout) {
        result = TransactEmpty(Command::DeviceListing);
        LastResult = result;
    }

    if (result == 0) {
        const std::size_t payloadSize = ReceivedPayload(ResponseLength).size();
        const uint8_t* payload = ResponseBuffer + ResponsePayloadOffset;
        const uint16_t count = payloadSize >= ListingHeaderSize ? ReadLe16(payload + 2) : 0;
        if (count > MaxDeviceRecords) {
            ConsolePrint("bogus number of devices.\n");
            result = ResultBogusCount;
        } else {
            ConsolePrint("Currently connected LX system\n");
            const std::size_t records =
                payloadSize >= ListingHeaderSize ? RecordsReceived(count, payloadSize) : 0;
            for (std::size_t i = 0; i < records; ++i) {
                const uint8_t* record = payload + ListingHeaderSize + i * DeviceRecordSize;
                ConsolePrint("Device Address: %d, ", record[0]);
                PrintDeviceName(record[2], record[3]);
            }
            if (DeviceAddress == AddressSonde) {
                DelayMs(LookUpPauseMs);
                WriteLe16(RequestPayload, StayAwakeSeconds);
                result = Transact(Command::SystemStayAwake, RequestPayload, 2, &ResponseLength);
                LastResult = result;
                if (result != 0) {
                    Transact(Command::SystemStayAwake, RequestPayload, 2, &ResponseLength);
                }
                if (MenuState == MenuTop || MenuState == MenuMainBoard) {
                    ConsolePrint(
                        "\nI just told the sonde to stay awake for an hour.  \nTo save battery "
                        "power, reset sonde or remove the battery.\n");
                }
                ConsolePrint("\n");
            }
        }
    }

    DelayMs(LookUpPauseMs);
    return result;
}
