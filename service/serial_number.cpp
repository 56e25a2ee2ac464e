// 'sn': a new serial number for one board. Depth sensors keep theirs. For the
// sonde's main board the sonde's identification string is rewritten too.
#include <cstring>

#include "link/link.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "service/decline.h"
#include "service/exchange.h"
#include "service/menu_state.h"
#include "service/prompts.h"
#include "service/service.h"
#include "terminal/console_io.h"

namespace {

constexpr char SondeName[] = "Limnora Sonde";

// The sonde's name and serial number, each in a zero-padded 20-byte field.
void WriteIdentification(const char (&serial)[SerialFieldSize]) {
    ConsolePrint("New stuff: %s, %s\n", SondeName, serial);
    std::memset(RequestPayload, 0, 2 * SerialFieldSize);
    std::memcpy(RequestPayload, SondeName, sizeof SondeName);
    std::memcpy(RequestPayload + SerialFieldSize, serial, SerialFieldSize);
    LastResult =
        Transact(Command::IdStringWrite, RequestPayload, 2 * SerialFieldSize, &ResponseLength);
    if (ResponseStatus != 0 && LastResult != 0) PrintLinkError(LastResult, ResponseStatus);
}

}  // namespace

void SetSerialNumber() {
    const uint8_t board =
        AnnounceBoard({"Main board set serial number\n", "Vantor LX set serial number\n",
                       "Com Module set serial number\n", "Sensor Set Serial Number\n"});
    // Only a sensor (a nonzero address) can be a depth sensor.
    if (board != 0 && QueryDeviceFamily(board) == FamilyDepth) {
        ReportDecline(Decline::DepthSensorSerial, board);
        ConsolePrint("***\n");
        ConsolePrint("\tNot allowed to change serial number of depth sensor.\n");
        ConsolePrint("***\n");
        PressReturn();
        return;
    }
    RequestPayload[0] = board;
    RequestPayload[1] = 0;

    char serial[SerialFieldSize] = {};
    ConsolePrint("%s", SerialNumberPrompt.text);
    ConsoleScan("%19s", serial, sizeof serial);
    // Only 19 characters fit; the rest of a longer word is dropped here so
    // that it is not taken as the next menu answer.
    DiscardRestOfToken();
    ConsolePrint("New serial number string is: %s\n", serial);

    std::memcpy(RequestPayload + 2, serial, SerialFieldSize);
    ExchangeAndReport(Command::SetSerialNumber, 2 + SerialFieldSize);
    if (MenuState == MenuMainBoard) WriteIdentification(serial);
    PressReturn();
}
