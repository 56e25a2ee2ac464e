// The bus frame: 4-byte header (address, command, little-endian payload
// length), the payload, and a CRC-16/XMODEM trailer sent low byte first.
// Pure code shared by the link layer and the virtual instrument.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t FrameCapacity = 1024;
inline constexpr std::size_t FrameHeaderSize = 4;
inline constexpr std::size_t FrameCrcSize = 2;
inline constexpr std::size_t FrameOverhead = FrameHeaderSize + FrameCrcSize;
inline constexpr std::size_t MaxRequestPayload = FrameCapacity - FrameOverhead;  // 1018

// Table-driven CRC-16 (polynomial 0x1021, initial 0, MSB first, no final XOR).
// A fresh engine is built for every frame so no running value survives.
struct Crc16 {
    std::array<uint16_t, 256> table;
    uint16_t value;

    Crc16();
    void Update(std::span<const uint8_t> bytes);
    static uint16_t Of(std::span<const uint8_t> bytes);
};

// Writes header, payload and CRC into frame; returns the frame length
// (payload size + 6), or 0 when the payload does not fit a 1024-byte frame.
std::size_t BuildFrame(uint8_t address, uint8_t command, std::span<const uint8_t> payload,
                       std::span<uint8_t, FrameCapacity> frame);

// Reads a little-endian 16/32-bit value from the first bytes of b.
inline uint16_t ReadLe16(const uint8_t* b) {
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t ReadLe32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
inline void WriteLe16(uint8_t* b, uint16_t v) {
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
}
inline void WriteLe32(uint8_t* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The payload of the frame held in `frame`: what its header promises, never
// more than the bytes there hold. Empty for fewer bytes than a frame needs.
inline std::span<const uint8_t> FramePayload(std::span<const uint8_t> frame) {
    if (frame.size() < FrameOverhead) return {};
    const std::size_t carried = frame.size() - FrameOverhead;
    const std::size_t promised = ReadLe16(frame.data() + 2);
    return frame.subspan(FrameHeaderSize, carried < promised ? carried : promised);
}
