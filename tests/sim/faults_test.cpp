// Faults injected per request, each kind, and the scenario's pipe settings.
#include "sim/sim.h"
#include "sim_support.h"

#include <cerrno>

using namespace SimTest;

namespace {

TEST(SimFaults, StatusRefusesTheRequestWithoutCarryingItOut) {
    ASSERT_EQ(Start(R"({"faults": [{"address": 1, "command": "0x8B", "board": 3, "status": 23}]})"),
              0);
    EXPECT_EQ(Request(1, 0x8B, Hex("03 00 01 00 00 00")), Frame(0, 23));
    EXPECT_EQ(Report(1, 3).dob, 720798300u);
    EXPECT_EQ(StatusOf(1, 0x8B, Hex("04 00 01 00 00 00")), 0) << "other boards are not caught";
    EXPECT_EQ(Report(1, 4).dob, 1u);
}

TEST(SimFaults, OccurrenceAndTimes) {
    ASSERT_EQ(Start(R"({"faults": [{"command": 9, "occurrence": 2, "times": 2, "status": 18}]})"),
              0);
    EXPECT_EQ(StatusOf(1, 0x09), 0);
    EXPECT_EQ(StatusOf(1, 0x09), 18);
    EXPECT_EQ(StatusOf(2, 0x09), 18);
    EXPECT_EQ(StatusOf(1, 0x09), 0);
    EXPECT_EQ(StatusOf(1, 0x09), 0);

    ASSERT_EQ(Start(R"({"faults": [{"command": 9, "occurrence": 1, "status": 18}]})"), 0);
    EXPECT_EQ(StatusOf(1, 0x09), 18);
    EXPECT_EQ(StatusOf(1, 0x09), 0);

    ASSERT_EQ(Start(R"({"faults": [{"command": 2, "status": 1}]})"), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(StatusOf(1, 0x02), 1) << "no occurrence: every time";
}

TEST(SimFaults, TimeoutAnswersNothing) {
    ASSERT_EQ(Start(R"({"faults": [{"command": "0xF2", "occurrence": 1, "timeout": true}]})"), 0);
    ASSERT_EQ(StatusOf(1, 0xF0, {3, 0}), 0);
    EXPECT_TRUE(Exchange(1, 0xF2, {3, 0, 1, 0}).empty());
    EXPECT_EQ(StatusOf(1, 0xF2, {3, 0, 1, 0}), 0);
}

TEST(SimFaults, ShortFrameDeliversOnlyItsFirstBytes) {
    ASSERT_EQ(Start(R"({"faults": [{"command": 2, "short": 3},
                                   {"command": "0x82", "board": 1, "short": 14}]})"),
              0);
    std::vector<Bytes> t = Exchange(1, 0x02);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0], Hex("00 00 00"));
    Bytes whole = Payload(1, 0x82, {2, 0});
    t = Exchange(1, 0x82, {1, 0});
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].size(), 14u);
    EXPECT_EQ(t[0][2], 0x9A) << "the header still promises the whole record";
}

TEST(SimFaults, CorruptedCrc) {
    ASSERT_EQ(Start(R"({"faults": [{"command": 2, "bad_crc": true}]})"), 0);
    EXPECT_EQ(Request(1, 0x02), Hex("00 00 00 00 FF FF"));
}

TEST(SimFaults, SplitAcrossTwoReads) {
    ASSERT_EQ(Start(R"({"faults": [{"command": "0x82", "board": 1, "split": 14}]})"), 0);
    std::vector<Bytes> t = Exchange(1, 0x82, {1, 0});
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].size(), 14u);
    Bytes joined = t[0];
    joined.insert(joined.end(), t[1].begin(), t[1].end());
    EXPECT_EQ(joined.size(), 0x9Au + 6);
    EXPECT_EQ(joined, Frame(0, 0, Bytes(joined.begin() + 4, joined.end() - 2)));
    std::string log = WireLog();
    EXPECT_NE(log.find("\n< 00 00 9A 00 04 01 03 09 32 31 42 31 30 31\n< 37 33 33"),
              std::string::npos);
}

TEST(SimFaults, ExtraBytesFollowTheFrame) {
    ASSERT_EQ(Start(R"({"faults": [{"command": 2, "extra": "AA 55"}]})"), 0);
    EXPECT_EQ(Request(1, 0x02), Hex("00 00 00 00 00 00 AA 55"));
}

TEST(SimFaults, ReplacedPayload) {
    ASSERT_EQ(Start(R"({"faults": [{"command": 10, "payload": "41 42"}]})"), 0);
    EXPECT_EQ(Payload(1, 0x0A), Hex("41 42"));
}

TEST(SimFaults, BogusCountsLeaveTheDataAsItWas) {
    ASSERT_EQ(Start(R"({"faults": [{"command": 9, "counts": {"devices": 18}},
        {"command": "0x82", "board": 2, "counts": {"components": 3}},
        {"command": "0x82", "board": 1, "counts": {"setups": 5, "inputs": 11, "calibrations": 5,
                                                    "last_cal": 6, "steps": 7}}]})"),
              0);
    Bytes listing = Payload(1, 0x09);
    EXPECT_EQ(listing[2], 18);
    EXPECT_EQ(listing.size(), 4u + 7 * 6);

    Bytes two = Payload(1, 0x82, {2, 0});
    EXPECT_EQ(two[38], 3);
    EXPECT_FALSE(Decode(two).complete);

    Bytes one = Payload(1, 0x82, {1, 0});
    EXPECT_EQ(one.size(), 0x9Au);
    // Component 1: date, interval, then the setup count at 48, the first
    // setup's input count at 50 (three words follow), ...
    EXPECT_EQ(one[48], 5);
    EXPECT_EQ(one[50], 11);
    EXPECT_EQ(one[52 + 12], 2) << "the second setup keeps its own count";
    std::size_t cals = 52 + 12 + 2 + 8;
    EXPECT_EQ(one[cals], 5);
    EXPECT_EQ(one[cals + 1], 6);
    EXPECT_EQ(one[cals + 2], 7);
}

TEST(SimFaults, ReadBackByteChanged) {
    ASSERT_EQ(Start(R"({"faults": [{"command": "0xF2", "readback_offset": 5}]})"), 0);
    ASSERT_EQ(StatusOf(1, 0xF0, {3, 0}), 0);
    ASSERT_EQ(StatusOf(1, 0xF4, {3, 0}), 0);
    Bytes block = {3, 0, 1, 0};
    block.insert(block.end(), 256, 0x11);
    ASSERT_EQ(StatusOf(1, 0xF3, block), 0);
    Bytes back = Payload(1, 0xF2, {3, 0, 1, 0});
    ASSERT_EQ(back.size(), 260u);
    EXPECT_EQ(back[4 + 5], 0xEE);
    back[4 + 5] = 0x11;
    EXPECT_EQ(back, block);
}

TEST(SimFaults, BootloaderValues) {
    ASSERT_EQ(Start(R"({"faults": [{"command": "0xF0", "enter_wait_ms": 65535},
                                   {"command": "0xF1", "block_size": 1024},
                                   {"command": "0xF4", "erase_ms": 0}]})"),
              0);
    EXPECT_EQ(Payload(1, 0xF0, {3, 0}), Hex("FF FF"));
    EXPECT_EQ(Payload(1, 0xF1, Hex("03 00 00 01 00 00")), Hex("91 0C 00 04"));
    EXPECT_EQ(Payload(1, 0xF4, {3, 0}), Hex("00 00"));
    // The board takes the blocks the program sends after dropping to 512.
    Bytes block = {3, 0, 1, 0};
    block.insert(block.end(), 512, 0x22);
    EXPECT_EQ(StatusOf(1, 0xF3, block), 0);
}

TEST(SimFaults, BoardFlashSettingsFromTheScenario) {
    ASSERT_EQ(Start(R"({"devices": [{"address": 1, "boards": [
        {"board": 0, "family": 202, "model": 1, "version": 0},
        {"board": 7, "family": 11, "model": 3, "version": 1,
         "flash": {"block_size": 64, "enter_wait_ms": 0, "erase_ms": 20, "capacity": 128}}]}]})"),
              0);
    EXPECT_EQ(Payload(1, 0xF0, {7, 0}), Hex("00 00"));
    EXPECT_EQ(Payload(1, 0xF1, Hex("07 00 80 00 00 00")), Hex("01 00 40 00"));
    EXPECT_EQ(StatusOf(1, 0xF1, Hex("07 00 81 00 00 00")), 4);
    EXPECT_EQ(Payload(1, 0xF4, {7, 0}), Hex("14 00"));
    EXPECT_TRUE(Exchange(2, 0x09).empty()) << "no module described: nothing answers at 2";
}

TEST(SimFaults, OpenResults) {
    ASSERT_EQ(DuctraSimRestart(nullptr, nullptr), 0);
    std::string path = TempPath("open.json");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs(R"({"open_result": [0, -3, -4, -2]})", f);
    std::fclose(f);
    ASSERT_EQ(DuctraSimRestart(path.c_str(), nullptr), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(DuctraOpen(), -3);
    EXPECT_EQ(DuctraOpen(), -4);
    EXPECT_EQ(DuctraOpen(), -2);
    EXPECT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DuctraOpen success\r\nDuctraOpen Error: NO_DEVICE_FOUND\r\n"
              "DuctraOpen Error: NO_USB_ENDPOINTS_FOUND\r\nDuctraOpen Error: NO_DEVICE_FOUND\r\n"
              "DuctraOpen success\r\n");

    f = std::fopen(path.c_str(), "wb");
    std::fputs(R"({"open_result": -3})", f);
    std::fclose(f);
    ASSERT_EQ(DuctraSimRestart(path.c_str(), nullptr), 0);
    DuctraChatty(1);
    EXPECT_EQ(DuctraOpen(), -3);
    EXPECT_EQ(DuctraOpen(), -3);
    uint8_t frame[6] = {1, 2, 0, 0, 0, 0};
    EXPECT_EQ(DuctraSend(frame, 6, 10000), DUCTRA_RESPONSE_NO_VALID_HANDLER);
}

TEST(SimFaults, LostPipeAnswersNothingUntilItIsOpenedAgain) {
    ASSERT_EQ(Start(R"({"faults": [{"command": "0xF3", "board": 3, "occurrence": 2,
                                    "lose_pipe": true}],
                       "open_result": [0, -3]})"),
              0);
    ASSERT_EQ(StatusOf(1, 0xF0, {3, 0}), 0);
    ASSERT_EQ(StatusOf(1, 0xF4, {3, 0}), 0);
    Bytes first = {3, 0, 1, 0};
    first.insert(first.end(), 256, 0x5A);
    ASSERT_EQ(StatusOf(1, 0xF3, first), 0);

    // The second write leaves, then the cable is pulled: no answer, and the
    // pipe refuses everything, the close included as a no-op.
    Bytes second = {3, 0, 2, 0};
    second.insert(second.end(), 256, 0xA5);
    const Bytes lost = Frame(1, 0xF3, second);
    EXPECT_EQ(
        DuctraSend(const_cast<uint8_t*>(lost.data()), static_cast<uint32_t>(lost.size()), 10000),
        DUCTRA_RESPONSE_SUCCESS);
    uint8_t buffer[1024];
    uint32_t count = 77;
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(count, 77u);
    Bytes probe = Frame(1, 0x02);
    EXPECT_EQ(DuctraSend(probe.data(), static_cast<uint32_t>(probe.size()), 10000),
              DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(DuctraClose(), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(DuctraSend(probe.data(), static_cast<uint32_t>(probe.size()), 10000),
              DUCTRA_RESPONSE_NO_VALID_HANDLER);

    // The next open follows open_result; the one after it succeeds and finds
    // the instrument as the pulled cable left it.
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(Payload(1, 0xF2, {3, 0, 1, 0}), first);
    Bytes erased = {3, 0, 2, 0};
    erased.insert(erased.end(), 256, 0xFF);
    EXPECT_EQ(Payload(1, 0xF2, {3, 0, 2, 0}), erased) << "the lost write was not carried out";
    EXPECT_EQ(StatusOf(1, 0xF3, second), 0) << "caught once only";

    // The wire log shows the lost frame and nothing until the reopened pipe.
    const std::string log = WireLog();
    const std::string lostLine = "> " + ToHex(lost) + "\n";
    const std::size_t at = log.find(lostLine);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(at + lostLine.size(), 7), "> 01 F2") << log;
}

TEST(SimFaults, FrameWaitingWhenThePipeFirstOpens) {
    ASSERT_EQ(Start(R"({"waiting_at_open": ["00 00 00 00 C0 5A", "01 02"]})"), 0);
    uint8_t buffer[64];
    uint32_t count = 0;
    ASSERT_EQ(DuctraReceive(buffer, 64, 0, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Hex("00 00 00 00 C0 5A"));
    ASSERT_EQ(DuctraReceive(buffer, 64, 0, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Hex("01 02"));
    EXPECT_EQ(DuctraReceive(buffer, 64, 0, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    DuctraClose();
    ASSERT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(DuctraReceive(buffer, 64, 0, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
}

TEST(SimFaults, LatencyDoesNotChangeAnswers) {
    ASSERT_EQ(Start(R"({"latency_us": 1000})"), 0);
    EXPECT_EQ(Request(1, 0x02), Hex("00 00 00 00 00 00"));
    EXPECT_TRUE(Exchange(0, 0x02).empty());
}

TEST(SimFaults, HandheldInsteadOfTheModule) {
    ASSERT_EQ(Start(R"({"usb_device": "handheld"})"), 0);
    EXPECT_EQ(Payload(3, 0x09), Hex("00 00 02 00  03 01 C9 02 02 15  01 01 CA 02 85 1C"));
    EXPECT_TRUE(Exchange(2, 0x09).empty());
    EXPECT_EQ(StatusOf(1, 0x02), 0);
}

}  // namespace

namespace {

// The program prints the system's text for the last error after a failed
// exchange; the pipe leaves the one that belongs to the failure.
TEST(SimFaults, FailedTransfersLeaveTheirSystemError) {
    ASSERT_EQ(Start(R"({"faults": [{"command": 2, "timeout": true}]})"), 0);
    errno = ENOTTY;  // left over from an unrelated call
    EXPECT_TRUE(Exchange(1, 0x02).empty());
    uint8_t buffer[8];
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, sizeof buffer, 0, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(errno, ETIMEDOUT);
    DuctraClose();
    EXPECT_EQ(DuctraReceive(buffer, sizeof buffer, 0, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(errno, ENODEV);
}

}  // namespace
