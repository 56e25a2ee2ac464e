#include "service/exchange.h"

#include "link/link.h"
#include "protocol/commands.h"

int32_t ExchangeRequest(uint8_t command, uint16_t payloadLength) {
    LastResult = ExchangeDirect(command, payloadLength);
    return LastResult;
}

void ExchangeAndReport(uint8_t command, uint16_t payloadLength) {
    const int32_t result = ExchangeRequest(command, payloadLength);
    if (ResponseStatus != 0 && result != 0) PrintLinkError(result, ResponseStatus);
}

void ResetAfterChange(uint8_t board, uint8_t level) {
    RequestPayload[0] = board;
    RequestPayload[1] = level;
    LastResult = Transact(Command::BoardReset, RequestPayload, 2, &ResponseLength);
}
