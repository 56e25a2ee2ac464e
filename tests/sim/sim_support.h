// Helpers for the virtual instrument's tests: restarting it with a scenario
// text, framing requests, and reading every transfer an answer brings.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "usbpipe/ductra.h"

namespace SimTest {

using Bytes = std::vector<uint8_t>;

// CRC-16 (0x1021, initial 0, MSB first) computed bit by bit, independently
// of the table-driven engine the instrument uses.
uint16_t BitwiseCrc(const Bytes& bytes);
// A frame: address/status byte pair, little-endian length, payload, CRC low first.
Bytes Frame(uint8_t first, uint8_t second, const Bytes& payload = {});
Bytes Hex(const std::string& text);
std::string ToHex(const Bytes& bytes);

// Restarts the instrument with the scenario text (empty: the default), writes
// the wire log to a temporary file, opens the pipe quietly. Returns the
// restart's result.
int Start(const std::string& scenario = {});
// A file of that name in the folder of this test process alone.
std::string TempPath(const std::string& name);
// Sets DUCTRA_DEVICE for the next opens ("" clears it).
void ChooseDevice(const char* value);
std::string ReadFile(const std::string& path);
std::string WireLog();

// Sends a request and collects the transfers that answer it.
std::vector<Bytes> Exchange(uint8_t address, uint8_t command, const Bytes& payload = {});
// Sends a request and returns the single transfer that answers it (empty
// when it timed out); fails the test when more than one transfer came.
Bytes Request(uint8_t address, uint8_t command, const Bytes& payload = {});
// The payload of a good answer (checks status 0, length and CRC).
Bytes Payload(uint8_t address, uint8_t command, const Bytes& payload = {});
// The status of a well-formed answer.
int StatusOf(uint8_t address, uint8_t command, const Bytes& payload = {});

// A board's configuration record, decoded.
struct Record {
    uint8_t family = 0, model = 0;
    uint16_t version = 0;
    std::string serial;
    uint32_t dob = 0, dom = 0, maintInterval = 0;
    uint16_t stabilization = 0;
    uint8_t devEn = 0;
    struct Component {
        uint32_t lastCalDate = 0, calInterval = 0;
        std::vector<std::vector<uint32_t>> setups;
        uint8_t lastCal = 0;
        std::vector<std::vector<float>> calibrations;
    };
    std::vector<Component> components;
    bool complete = false;  // the walk ended exactly at the payload's end
};
Record Decode(const Bytes& payload);
Record Report(uint8_t address, uint8_t board);

}  // namespace SimTest
