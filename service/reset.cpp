// 'rs': soft or factory reset of one board. The handheld and the
// communications module are the USB device itself, so after their reset the
// pipe is closed and opened again once the device has restarted.
#include "link/link.h"
#include "protocol/commands.h"
#include "service/decline.h"
#include "service/exchange.h"
#include "service/prompts.h"
#include "service/service.h"
#include "terminal/console_io.h"

namespace {

constexpr int32_t ComModuleRestartMs = 5000;
constexpr int32_t HandheldRestartMs = 25000;

}  // namespace

void ResetBoard() {
    SetPayloadLength(2);
    const uint8_t board = AnnounceBoard(
        {"Main board reset\n", "Vantor LX reset\n", "Com Module reset\n", "Sensor Reset\n"});
    RequestPayload[0] = board;

    ConsolePrint("0 = Soft reset, just restart the board.\n");
    ConsolePrint("1 = Factory default, clears all calibrations and custom settings.\n\n");
    ConsolePrint("%s", ResetLevelPrompt.text);
    // A word gives no level at all: it is discarded and refused like a level
    // above 1, so nothing but a typed 1 can start a factory reset.
    int32_t level = -1;
    if (!ReadDecimal(level) || (level != 0 && level != 1)) {
        ReportDecline(Decline::ResetLevel, board);
        ConsolePrint("Reset level too dangerous, not allowed.\n");
        PressReturn();
        return;
    }
    RequestPayload[1] = static_cast<uint8_t>(level);
    ExchangeAndReport(Command::BoardReset, 2);

    if (DeviceAddress < AddressComModule) {
        PressReturn();
        return;
    }
    // The device restarts whatever its answer said; the pipe follows it.
    LastResult =
        ReopenPipe(DeviceAddress == AddressComModule ? ComModuleRestartMs : HandheldRestartMs);
    PressReturn();
}
