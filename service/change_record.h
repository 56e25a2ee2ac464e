// The service record of a recorded session: which requests change a board,
// and what each writes, in words.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// For a request that changes a board (reset, identification, serial number,
// build and maintenance dates, a setting, a calibration-log clear or a
// log-media format), the change in words with the values the payload
// carries, e.g. "serial number \"ABC123\"" or "reset, factory (level 1)";
// false for every other request. Reads no byte beyond the payload.
bool DescribeBoardChange(uint8_t command, std::span<const uint8_t> payload, std::string& words);
