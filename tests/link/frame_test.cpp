// The bus frame layout and its CRC-16.
#include "link/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t address, uint8_t command, const Bytes& payload) {
    std::array<uint8_t, FrameCapacity> frame{};
    const std::size_t length = BuildFrame(address, command, payload, frame);
    return Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
}

TEST(Crc16Test, TableStartsWithThePolynomialMultiples) {
    const Crc16 engine;
    EXPECT_EQ(engine.table[0], 0x0000);
    EXPECT_EQ(engine.table[1], 0x1021);
    EXPECT_EQ(engine.table[2], 0x2042);
    EXPECT_EQ(engine.table[3], 0x3063);
    EXPECT_EQ(engine.table[255], 0x1EF0);
    EXPECT_EQ(engine.value, 0);
}

TEST(Crc16Test, CheckValueOverTheNineDigits) {
    constexpr std::string_view digits = "123456789";
    const Bytes bytes(digits.begin(), digits.end());
    EXPECT_EQ(Crc16::Of(bytes), 0x31C3);
}

TEST(Crc16Test, UpdateInPiecesEqualsOneRun) {
    const Bytes bytes = {0x01, 0x82, 0x02, 0x00, 0x00, 0x00};
    Crc16 engine;
    engine.Update(std::span(bytes).first(2));
    engine.Update(std::span(bytes).subspan(2));
    EXPECT_EQ(engine.value, Crc16::Of(bytes));
    EXPECT_EQ(engine.value, 0xCE9B);
}

TEST(Crc16Test, ZeroBytesGiveZero) {
    EXPECT_EQ(Crc16::Of(Bytes{0, 0, 0, 0}), 0x0000);
    EXPECT_EQ(Crc16::Of(Bytes{}), 0x0000);
}

TEST(BuildFrameTest, WorkedDeviceReportRequest) {
    EXPECT_EQ(Frame(1, 0x82, {0x00, 0x00}),
              (Bytes{0x01, 0x82, 0x02, 0x00, 0x00, 0x00, 0x9B, 0xCE}));
}

TEST(BuildFrameTest, EmptyPayloadIsSixBytes) {
    EXPECT_EQ(Frame(1, 0x09, {}), (Bytes{0x01, 0x09, 0x00, 0x00, 0x25, 0xE8}));
}

TEST(BuildFrameTest, CrcOverWholeFrameIsNotZero) {
    const Bytes frame = Frame(1, 0x82, {0x00, 0x00});
    EXPECT_NE(Crc16::Of(frame), 0);
    // The receiver's check: CRC of all but the trailer against the trailer.
    EXPECT_EQ(Crc16::Of(std::span(frame).first(frame.size() - 2)),
              ReadLe16(&frame[frame.size() - 2]));
}

TEST(BuildFrameTest, LargestPayloadFillsTheFrameExactly) {
    Bytes payload(MaxRequestPayload);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    const Bytes frame = Frame(2, 0x90, payload);
    ASSERT_EQ(frame.size(), FrameCapacity);
    EXPECT_EQ(frame[2], 0xFA);  // 1018 = 0x03FA, low byte first
    EXPECT_EQ(frame[3], 0x03);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame.begin() + 4));
    EXPECT_EQ(Crc16::Of(std::span(frame).first(FrameCapacity - 2)), ReadLe16(&frame[1022]));
}

TEST(BuildFrameTest, OversizedPayloadIsRefused) {
    const Bytes payload(MaxRequestPayload + 1, 0xAA);
    std::array<uint8_t, FrameCapacity> frame{};
    frame.fill(0x55);
    EXPECT_EQ(BuildFrame(1, 0x90, payload, frame), 0u);
    EXPECT_EQ(frame[0], 0x55);  // nothing written
}

TEST(LittleEndianTest, RoundTrips) {
    uint8_t bytes[4] = {};
    WriteLe32(bytes, 0x12345678u);
    EXPECT_EQ(bytes[0], 0x78);
    EXPECT_EQ(bytes[3], 0x12);
    EXPECT_EQ(ReadLe32(bytes), 0x12345678u);
    WriteLe16(bytes, 0xBEEF);
    EXPECT_EQ(bytes[0], 0xEF);
    EXPECT_EQ(ReadLe16(bytes), 0xBEEF);
}

}  // namespace
