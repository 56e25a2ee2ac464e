// The bootloader and flash: a download into a sensor board, its read-back,
// and the new code version after the reset.
#include <algorithm>

#include "sim_support.h"

using namespace SimTest;

namespace {

class SimBootloader : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Start(), 0); }
};

Bytes Block(uint16_t number, const Bytes& data, uint8_t device = 3) {
    Bytes p(4 + data.size());
    p[0] = device;
    p[2] = static_cast<uint8_t>(number);
    p[3] = static_cast<uint8_t>(number >> 8);
    std::copy(data.begin(), data.end(), p.begin() + 4);
    return p;
}

Bytes Data(std::size_t n, uint8_t seed) {
    Bytes d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(seed + i * 7);
    return d;
}

// Version word of board `board` in the sonde's device listing.
uint16_t ListedVersion(uint8_t board) {
    Bytes p = Payload(1, 0x09);
    for (std::size_t at = 4; at + 6 <= p.size(); at += 6)
        if (p[at] == board) return static_cast<uint16_t>(p[at + 4] | (p[at + 5] << 8));
    ADD_FAILURE() << "board " << int(board) << " not listed";
    return 0;
}

TEST_F(SimBootloader, EnterAttributesEraseAnswerTheirValues) {
    EXPECT_EQ(Request(1, 0xF0, {3, 0}), Hex("00 00 02 00 D0 07 A8 88"));        // 2000 ms
    EXPECT_EQ(Payload(1, 0xF1, Hex("03 00 00 03 00 00")), Hex("91 0C 00 01"));  // 0x0C91, 256
    EXPECT_EQ(Payload(1, 0xF4, {3, 0}), Hex("DC 05"));                          // 1500 ms
}

TEST_F(SimBootloader, CommandsNeedTheBootloaderAndSoundPayloads) {
    EXPECT_EQ(StatusOf(1, 0xF1, Hex("03 00 00 03 00 00")), 16);
    EXPECT_EQ(StatusOf(1, 0xF4, {3, 0}), 16);
    EXPECT_EQ(StatusOf(1, 0xF0, {9, 0}), 5);
    EXPECT_EQ(StatusOf(1, 0xF0, {3, 1}), 4);
    ASSERT_EQ(StatusOf(1, 0xF0, {3, 0}), 0);
    EXPECT_EQ(StatusOf(1, 0xF3, Block(1, Data(256, 1))), 16) << "writes need an erase first";
    EXPECT_EQ(StatusOf(1, 0xF1, Hex("03 00 01 00 02 00")), 4) << "larger than the flash";
    ASSERT_EQ(StatusOf(1, 0xF4, {3, 0}), 0);
    EXPECT_EQ(StatusOf(1, 0xF3, Block(0, Data(256, 1))), 10);
    EXPECT_EQ(StatusOf(1, 0xF3, Block(513, Data(256, 1))), 10);
    EXPECT_EQ(StatusOf(1, 0xF3, {3, 0, 1, 0}), 4);
    EXPECT_EQ(StatusOf(1, 0xF2, {3, 0, 1}), 4);
}

TEST_F(SimBootloader, ReadPageEchoesTheRequestThenTheStoredBlock) {
    ASSERT_EQ(StatusOf(1, 0xF0, {4, 0}), 0);
    ASSERT_EQ(StatusOf(1, 0xF4, {4, 0}), 0);
    Bytes data = Data(256, 9);
    ASSERT_EQ(StatusOf(1, 0xF3, Block(2, data, 4)), 0);
    Bytes expected = {4, 0, 2, 0};
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(Payload(1, 0xF2, {4, 0, 2, 0}), expected);
    Bytes erased = {4, 0, 3, 0};
    erased.insert(erased.end(), 256, 0xFF);
    EXPECT_EQ(Payload(1, 0xF2, {4, 0, 3, 0}), erased);
}

TEST_F(SimBootloader, CompletedDownloadAndResetReportTheNewVersion) {
    ASSERT_EQ(ListedVersion(3), 0x0C91);
    // Program data of 3 blocks of 256 (and a tail that is never sent); the
    // first two bytes are the image's code version, 3.5 (0x0185).
    Bytes image = Data(3 * 256 + 100, 5);
    image[0] = 0x85;
    image[1] = 0x01;
    EXPECT_EQ(StatusOf(1, 0x08), 0);
    ASSERT_EQ(StatusOf(1, 0xF0, {3, 0}), 0);
    Bytes length = {
        3, 0, static_cast<uint8_t>(image.size()), static_cast<uint8_t>(image.size() >> 8), 0, 0};
    ASSERT_EQ(Payload(1, 0xF1, length), Hex("91 0C 00 01"));
    ASSERT_EQ(StatusOf(1, 0xF4, {3, 0}), 0);
    for (uint16_t n = 1; n <= 3; ++n) {
        Bytes block(image.begin() + (n - 1) * 256, image.begin() + n * 256);
        ASSERT_EQ(StatusOf(1, 0xF3, Block(n, block)), 0);
        Bytes back = Payload(1, 0xF2, {3, 0, static_cast<uint8_t>(n), 0});
        EXPECT_EQ(Bytes(back.begin() + 4, back.end()), block);
    }
    EXPECT_EQ(ListedVersion(3), 0x0C91) << "the old code runs until the reset";
    EXPECT_EQ(StatusOf(1, 0x81, {3, 0}), 0);
    EXPECT_EQ(StatusOf(1, 0x07), 0);
    EXPECT_EQ(ListedVersion(3), 0x0D85);  // UI bits kept, code 3.5
    EXPECT_EQ(Report(1, 3).version, 0x0D85);
    EXPECT_EQ(ListedVersion(4), 0x0888);
    // A second reset changes nothing more.
    EXPECT_EQ(StatusOf(1, 0x81, {3, 0}), 0);
    EXPECT_EQ(ListedVersion(3), 0x0D85);
}

TEST_F(SimBootloader, SmallerBlocksThanAnsweredStillComplete) {
    Bytes image = Data(4 * 128, 1);
    image[0] = 0x02;
    image[1] = 0x00;
    ASSERT_EQ(StatusOf(1, 0xF0, {5, 0}), 0);
    ASSERT_EQ(StatusOf(1, 0xF1, Hex("05 00 00 02 00 00")), 0);
    ASSERT_EQ(StatusOf(1, 0xF4, {5, 0}), 0);
    for (uint16_t n = 1; n <= 4; ++n)
        ASSERT_EQ(
            StatusOf(1, 0xF3,
                     Block(n, Bytes(image.begin() + (n - 1) * 128, image.begin() + n * 128), 5)),
            0);
    EXPECT_EQ(StatusOf(1, 0x02), 0);  // a system reset restarts every board
    EXPECT_EQ(ListedVersion(5), 0x0802);
}

TEST_F(SimBootloader, IncompleteDownloadKeepsTheOldVersion) {
    ASSERT_EQ(StatusOf(1, 0xF0, {3, 0}), 0);
    ASSERT_EQ(StatusOf(1, 0xF1, Hex("03 00 00 03 00 00")), 0);
    ASSERT_EQ(StatusOf(1, 0xF4, {3, 0}), 0);
    ASSERT_EQ(StatusOf(1, 0xF3, Block(1, Data(256, 1))), 0);
    ASSERT_EQ(StatusOf(1, 0xF3, Block(3, Data(256, 1))), 0);
    EXPECT_EQ(StatusOf(1, 0x81, {3, 0}), 0);
    EXPECT_EQ(ListedVersion(3), 0x0C91);
    EXPECT_EQ(StatusOf(1, 0xF3, Block(2, Data(256, 1))), 16) << "the reset left the bootloader";
}

}  // namespace
