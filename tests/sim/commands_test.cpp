// The command catalogue answered from state: exact answers of the default
// instrument, and state that lasts from one request to the next.
#include <cstring>

#include "sim_support.h"

using namespace SimTest;

namespace {

class SimCommands : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Start(), 0); }
};

uint32_t Bits(float f) {
    uint32_t b = 0;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

TEST_F(SimCommands, StatusOnlyAnswersAreExactFrames) {
    // Header 00 00 00 00: its CRC is 0000.
    for (uint8_t command : {0x02, 0x03, 0x07, 0x08})
        EXPECT_EQ(Request(1, command), Hex("00 00 00 00 00 00")) << int(command);
    EXPECT_EQ(Request(1, 0x04, {0x10, 0x0E}), Hex("00 00 00 00 00 00"));
    EXPECT_EQ(Request(1, 0x55), Hex("00 03 00 00 50 59"));  // unknown command
    EXPECT_EQ(Request(1, 0x04), Frame(0, 4));               // stay awake without seconds
    EXPECT_EQ(Request(1, 0x02, {0}), Frame(0, 4));
    EXPECT_EQ(Request(1, 0x82, {9, 0}), Frame(0, 5));  // no board 9
    EXPECT_EQ(Request(1, 0x82, {}), Frame(0, 4));
    EXPECT_EQ(Request(1, 0x82, {1, 1}), Frame(0, 4));
    EXPECT_EQ(Request(2, 0x82, {1, 0}), Frame(0, 5));  // the module has no sensors
}

TEST_F(SimCommands, OnlyTheUsbDeviceAndTheSondeAnswer) {
    EXPECT_EQ(Request(0, 0x09), Bytes{});
    EXPECT_EQ(Request(3, 0x09), Bytes{});  // the handheld is not attached
    EXPECT_EQ(Request(7, 0x82, {0, 0}), Bytes{});
    EXPECT_EQ(Payload(2, 0x82, {0, 0}).at(0), 200);
}

TEST_F(SimCommands, RequestsTheBusWouldRefuse) {
    Bytes frame = Frame(1, 0x09);
    frame[4] ^= 0x01;  // CRC
    ASSERT_EQ(DuctraSend(frame.data(), 6, 10000), 0);
    uint8_t buffer[1024];
    uint32_t count = 0;
    ASSERT_EQ(DuctraReceive(buffer, 1024, 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Frame(0, 12));

    Bytes longer = Hex("01 09 02 00");  // promises two payload bytes, carries none
    uint16_t crc = BitwiseCrc(longer);
    longer.push_back(static_cast<uint8_t>(crc));
    longer.push_back(static_cast<uint8_t>(crc >> 8));
    ASSERT_EQ(DuctraSend(longer.data(), 6, 10000), 0);
    ASSERT_EQ(DuctraReceive(buffer, 1024, 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Frame(0, 4));

    uint8_t garbage[3] = {1, 9, 0};
    ASSERT_EQ(DuctraSend(garbage, 3, 10000), 0);
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
}

TEST_F(SimCommands, DeviceListingOfTheSondeListsItsBoards) {
    Bytes p = Payload(1, 0x09);
    ASSERT_EQ(p.size(), 4u + 7 * 6);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 4), Hex("3C 00 07 00"));
    EXPECT_EQ(Bytes(p.begin() + 4, p.begin() + 16), Hex("00 01 CA 02 85 1C  01 02 04 01 03 09"));
    EXPECT_EQ(Bytes(p.end() - 6, p.end()), Hex("06 40 08 02 82 04"));
}

TEST_F(SimCommands, DeviceListingOfTheModuleListsTheBus) {
    EXPECT_EQ(Payload(2, 0x09), Hex("00 00 02 00  02 01 C8 01 83 08  01 01 CA 02 85 1C"));
}

TEST_F(SimCommands, IdStringReadAndWrite) {
    Bytes expected(20, 0);
    std::memcpy(expected.data(), "Limnora Sonde", 13);
    Bytes serial = Hex("32 31 43 31 30 30 34 35 37 00");  // "21C100457"
    expected.insert(expected.end(), serial.begin(), serial.end());
    EXPECT_EQ(Payload(1, 0x0A), expected);

    Bytes write(40, 0);
    std::memcpy(write.data(), "Limnora Sonde", 13);
    std::memcpy(write.data() + 20, "NEW7", 4);
    EXPECT_EQ(StatusOf(1, 0x0B, write), 0);
    Bytes after = Payload(1, 0x0A);
    EXPECT_EQ(Bytes(after.begin() + 20, after.end()), Hex("4E 45 57 37 00"));
    EXPECT_EQ(StatusOf(1, 0x0B, Bytes(39, 0)), 4);
}

TEST_F(SimCommands, ConfigurationRecordOfTheModuleIsExact) {
    Bytes p = Payload(2, 0x82, {0, 0});
    Bytes expected = Hex("C8 01 83 08");
    Bytes serial(20, 0);
    std::memcpy(serial.data(), "21M500318", 9);
    expected.insert(expected.end(), serial.begin(), serial.end());
    Bytes rest = Hex("98 E5 E1 27  00 00 00 00  00 00 00 00  00 00  00  00");
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(p, expected);
}

TEST_F(SimCommands, ConfigurationRecordWalksComponentsSetupsAndCalibrations) {
    Record r = Report(1, 1);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.family, 4);
    EXPECT_EQ(r.version, 0x0903);
    EXPECT_EQ(r.serial, "21B101733");
    EXPECT_EQ(r.dob, 669115800u);
    EXPECT_EQ(r.dom, 737028900u);
    EXPECT_EQ(r.maintInterval, 15552000u);
    EXPECT_EQ(r.stabilization, 10);
    EXPECT_EQ(r.devEn, 3);
    ASSERT_EQ(r.components.size(), 2u);
    const auto& temp = r.components[0];
    EXPECT_EQ(temp.lastCalDate, 737028900u);
    EXPECT_EQ(temp.calInterval, 7776000u);
    ASSERT_EQ(temp.setups.size(), 2u);
    EXPECT_EQ(temp.setups[0], (std::vector<uint32_t>{1, 0, Bits(25.0F)}));
    EXPECT_EQ(temp.setups[1], (std::vector<uint32_t>{2, 0x100}));
    EXPECT_EQ(temp.lastCal, 2);
    ASSERT_EQ(temp.calibrations.size(), 2u);
    EXPECT_EQ(temp.calibrations[1], (std::vector<float>{25.0F, 0.0012F}));
    EXPECT_EQ(r.components[1].calibrations[1].size(), 4u);
    // Every board of the default instrument is a well-formed record.
    for (uint8_t b = 0; b <= 6; ++b) EXPECT_TRUE(Report(1, b).complete) << int(b);
}

TEST_F(SimCommands, SerialNumberWrittenIsReadBack) {
    Bytes request = {2, 0};
    Bytes text(20, 0);
    std::memcpy(text.data(), "ABC123", 6);
    request.insert(request.end(), text.begin(), text.end());
    EXPECT_EQ(StatusOf(1, 0x8A, request), 0);
    EXPECT_EQ(Report(1, 2).serial, "ABC123");
    // Twenty characters fill the field without a terminator.
    std::memset(request.data() + 2, 'Z', 20);
    EXPECT_EQ(StatusOf(1, 0x8A, request), 0);
    EXPECT_EQ(Report(1, 2).serial, std::string(20, 'Z'));
    EXPECT_EQ(StatusOf(1, 0x8A, {2, 0, 'A'}), 4);
    EXPECT_EQ(Report(1, 2).serial, std::string(20, 'Z'));
}

TEST_F(SimCommands, BuildAndMaintenanceDates) {
    EXPECT_EQ(StatusOf(1, 0x8B, Hex("03 00 5F 64 5B 2A")), 0);  // 710632543
    EXPECT_EQ(StatusOf(1, 0x8C, Hex("03 00 5F 64 5B 2A 00 8D 27 00")), 0);
    Record r = Report(1, 3);
    EXPECT_EQ(r.dob, 710632543u);
    EXPECT_EQ(r.dom, 710632543u);
    EXPECT_EQ(r.maintInterval, 2592000u);
    EXPECT_EQ(StatusOf(1, 0x8B, Hex("03 00 5F 4B 5C")), 4);
    EXPECT_EQ(StatusOf(1, 0x8C, Hex("03 01 5F 64 5B 2A 00 8D 27 00")), 4);
    EXPECT_EQ(StatusOf(2, 0x8B, Hex("00 00 01 00 00 00")), 0);
    EXPECT_EQ(Report(2, 0).dob, 1u);
}

TEST_F(SimCommands, ClearingTheCalibrationLog) {
    EXPECT_EQ(StatusOf(1, 0x88, Hex("03 01 00 0F")), 0);
    Record r = Report(1, 3);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(r.components[0].calibrations.empty());
    EXPECT_EQ(r.components[0].lastCal, 0);
    EXPECT_EQ(r.components[0].setups.size(), 1u);  // setups stay
    EXPECT_EQ(Report(1, 4).components[0].calibrations.size(), 3u);
    EXPECT_EQ(StatusOf(1, 0x88, Hex("03 00 00 0F")), 4);
    EXPECT_EQ(StatusOf(1, 0x88, Hex("03 01 00 0E")), 8);
}

TEST_F(SimCommands, FormattingTheLogMediaBelongsToTheMainBoard) {
    EXPECT_EQ(StatusOf(1, 0x88, Hex("00 01 61 00")), 0);
    EXPECT_EQ(StatusOf(1, 0x88, Hex("03 01 61 00")), 11);
    EXPECT_EQ(StatusOf(2, 0x88, Hex("00 01 61 00")), 11);
}

TEST_F(SimCommands, FluorometerTypeChangesTheModel) {
    EXPECT_EQ(StatusOf(1, 0x89, Hex("05 01 02 00 02 00 00 00")), 0);
    EXPECT_EQ(Report(1, 5).model, 2);
    EXPECT_EQ(StatusOf(1, 0x81, {5, 1}), 0);  // the reset that follows
    EXPECT_EQ(Report(1, 5).model, 2) << "the factory reset that applies the type keeps it";
    EXPECT_EQ(StatusOf(1, 0x89, Hex("05 01 02 00 04 00 00 00")), 0);
    EXPECT_EQ(StatusOf(1, 0x81, {5, 0}), 0);
    EXPECT_EQ(Report(1, 5).model, 4) << "a soft reset keeps it";
    EXPECT_EQ(StatusOf(1, 0x89, Hex("05 01 02 00 05 00 00 00")), 4);
    EXPECT_EQ(StatusOf(1, 0x89, Hex("05 01 02 00 00 00 00 00")), 4);
    EXPECT_EQ(StatusOf(1, 0x89, Hex("01 01 02 00 02 00 00 00")), 7);  // not a fluorometer
    EXPECT_EQ(StatusOf(1, 0x89, Hex("05 01 02 00 02 00")), 4);
}

TEST_F(SimCommands, BatteryRangeOnlyOnTheSondeMainBoard) {
    EXPECT_EQ(StatusOf(1, 0x89, Hex("00 01 03 00 CD CC 4C 40 00 00 C0 40")), 0);
    EXPECT_EQ(StatusOf(1, 0x89, Hex("00 01 03 00 CD CC 4C 40")), 4);
    EXPECT_EQ(StatusOf(1, 0x89, Hex("03 01 03 00 CD CC 4C 40 00 00 C0 40")), 7);
    EXPECT_EQ(StatusOf(2, 0x89, Hex("00 01 03 00 CD CC 4C 40 00 00 C0 40")), 7);
    EXPECT_EQ(StatusOf(1, 0x89, Hex("00 01 09 00 00 00 00 00")), 7);
}

TEST_F(SimCommands, FactoryResetClearsCalibrationsSoftResetDoesNot) {
    EXPECT_EQ(StatusOf(1, 0x81, {1, 0}), 0);
    EXPECT_EQ(Report(1, 1).components[1].calibrations.size(), 2u);
    EXPECT_EQ(StatusOf(1, 0x81, {1, 2}), 4);
    EXPECT_EQ(StatusOf(1, 0x81, {1}), 4);
    EXPECT_EQ(StatusOf(1, 0x81, {1, 1}), 0);
    Record r = Report(1, 1);
    EXPECT_TRUE(r.complete);
    for (const auto& c : r.components) {
        EXPECT_TRUE(c.calibrations.empty());
        EXPECT_EQ(c.lastCal, 0);
    }
    EXPECT_EQ(r.serial, "21B101733");
    EXPECT_EQ(Report(1, 2).components[0].calibrations.size(), 2u);
}

TEST_F(SimCommands, StateOutlivesClosingThePipe) {
    EXPECT_EQ(StatusOf(1, 0x8B, Hex("04 00 01 02 03 04")), 0);
    DuctraClose();
    ASSERT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(Report(1, 4).dob, 0x04030201u);
}

}  // namespace
