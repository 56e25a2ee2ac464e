// What the board commands share: choosing the board they serve and the
// direct exchange (SendRequest then ReceiveResponse) with its failure report.
#pragma once

#include <cstdint>

// The announcement each menu prints before a command; the sensor boards menu
// (every MenuState but 3, 4 and 5) also asks for the sensor address. A menu
// whose text is nullptr does not offer the command and is served as the
// sensor boards menu.
struct BoardAnnouncement {
    const char* mainBoard;
    const char* handheld;
    const char* comModule;
    const char* sensor;
};

// Prints the announcement of the current menu and returns the board address:
// 0 for the device's own board, otherwise the sensor address typed.
uint8_t AnnounceBoard(const BoardAnnouncement& texts);

// Sends RequestPayload (payloadLength bytes) with the given command to
// DeviceAddress and reads the answer into ResponseBuffer and ResponseLength.
// The receive result is stored in LastResult and returned.
int32_t ExchangeRequest(uint8_t command, uint16_t payloadLength);

// ExchangeRequest, then the settings commands' report of a failure: printed
// only when both the device status and the receive result are nonzero.
void ExchangeAndReport(uint8_t command, uint16_t payloadLength);

// The board reset that follows a log operation or a setting: one Transact of
// command 0x81 with [board, level]; its result goes to LastResult unreported.
void ResetAfterChange(uint8_t board, uint8_t level);
