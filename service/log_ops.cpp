// 'cl': in the sensor boards menu, clear a sensor's calibration log; in the
// main board menu, format the sonde's log media. Both are one board
// operation request followed by a reset of the board.
#include "link/link.h"
#include "protocol/commands.h"
#include "service/exchange.h"
#include "service/menu_state.h"
#include "service/prompts.h"
#include "service/service.h"
#include "terminal/console_io.h"

namespace {

// Time the sonde needs to come back after the reset that follows a format.
constexpr uint16_t SondeRestartMs = 5000;

void PutOperation(uint8_t board, uint16_t selector) {
    RequestPayload[0] = board;
    RequestPayload[1] = 1;
    WriteLe16(RequestPayload + 2, selector);
}

}  // namespace

void ClearLogOrFormat() {
    uint8_t sensor = 0;
    if (MenuState == MenuSensorBoards) {
        ConsolePrint("Clear sensor calibration log.\n");
        sensor = AskSensorAddress(ClearLogAddressPrompt.text);
        PutOperation(sensor, SelectorClearCalibrationLog);
    } else if (MenuState == MenuMainBoard) {
        PutOperation(0, SelectorFormatLogMedia);
    } else {
        return;
    }
    ConsolePrint("Formatting.\n");
    ExchangeAndReport(Command::BoardOperation, 4);

    if (MenuState == MenuSensorBoards) {
        ResetAfterChange(sensor, 1);
        PressReturn();
        return;
    }
    ResetAfterChange(0, 0);
    ConsolePrint("Waiting for sonde to reset.\n");
    DelayMs(SondeRestartMs);
    LookUpDevices();
    PressReturn();
}
