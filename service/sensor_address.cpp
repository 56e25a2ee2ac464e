// Choosing the board a command serves.
#include "service/exchange.h"
#include "service/menu_state.h"
#include "service/prompts.h"
#include "service/service.h"
#include "terminal/console_io.h"

uint8_t AskSensorAddress(const char* prompt) {
    if (prompt == nullptr) prompt = SensorAddressPrompt.text;
    for (;;) {
        ConsolePrint("%s", prompt);
        // A word instead of a number reads as 0 and is refused like address 0.
        const uint8_t address = ReadNumber();
        if (address != 0) return address;
        ConsolePrint("Invalid device address.\n");
    }
}

uint8_t AnnounceBoard(const BoardAnnouncement& texts) {
    const char* ownBoard = nullptr;
    if (MenuState == MenuMainBoard) ownBoard = texts.mainBoard;
    if (MenuState == MenuHandheld) ownBoard = texts.handheld;
    if (MenuState == MenuComModule) ownBoard = texts.comModule;
    if (ownBoard != nullptr) {
        ConsolePrint("%s", ownBoard);
        return 0;
    }
    ConsolePrint("%s", texts.sensor);
    return AskSensorAddress(SensorAddressPrompt.text);
}
