// The bus frame and its CRC-16.
#include "link/frame.h"

#include <algorithm>

namespace {

constexpr uint16_t CrcPolynomial = 0x1021;

}  // namespace

// Entry i: i in the high byte of a 16-bit register, shifted left eight times,
// XORing the polynomial whenever a one falls out of the top.
Crc16::Crc16() : table{}, value(0) {
    for (unsigned i = 0; i < table.size(); ++i) {
        uint16_t reg = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = (reg & 0x8000u) != 0;
            reg = static_cast<uint16_t>(reg << 1);
            if (top) reg ^= CrcPolynomial;
        }
        table[i] = reg;
    }
}

void Crc16::Update(std::span<const uint8_t> bytes) {
    for (const uint8_t b : bytes) {
        value = static_cast<uint16_t>((value << 8) ^ table[((value >> 8) ^ b) & 0xFFu]);
    }
}

uint16_t Crc16::Of(std::span<const uint8_t> bytes) {
    Crc16 engine;
    engine.Update(bytes);
    return engine.value;
}

std::size_t BuildFrame(uint8_t address, uint8_t command, std::span<const uint8_t> payload,
                       std::span<uint8_t, FrameCapacity> frame) {
    if (payload.size() > MaxRequestPayload) return 0;
    frame[0] = address;
    frame[1] = command;
    WriteLe16(&frame[2], static_cast<uint16_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), frame.begin() + FrameHeaderSize);
    const std::size_t covered = FrameHeaderSize + payload.size();
    WriteLe16(&frame[covered], Crc16::Of(frame.first(covered)));
    return covered + FrameCrcSize;
}
