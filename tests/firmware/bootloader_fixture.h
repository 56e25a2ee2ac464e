// A sonde bootloader played by the scripted pipe, a scratch working folder
// with a "firmware" sub-folder, and the console/clock capture shared by the
// firmware download tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/scripted_pipe.h"

namespace firmware_test {

using Bytes = std::vector<uint8_t>;

// One request as the bootloader saw it.
struct SeenRequest {
    uint8_t address;
    uint8_t command;
    Bytes payload;
    uint64_t at;  // fake-clock milliseconds when it was sent
};

// Answers every request of the download from its own state: a flash of
// numbered blocks, the values it reports, and faults to inject.
struct FakeBootloader {
    uint16_t startWait = 1500;
    uint16_t runningVersion = 0x0102;  // 2.2
    uint16_t blockSize = 512;
    uint16_t eraseMs = 300;
    std::map<uint16_t, Bytes> flash;
    // Statuses for the next requests of a command (0 = answer normally).
    std::map<uint8_t, std::deque<uint8_t>> statuses;
    // Number of next requests of a command that get no answer (time-out).
    std::map<uint8_t, int> silences;
    // Replaces the whole answer payload of a command.
    std::map<uint8_t, Bytes> payloadOverride;
    // Read-back byte (index inside the block) changed in every Read Page answer.
    std::optional<std::size_t> changedReadBackByte;

    std::vector<SeenRequest> seen;

    void Answer(const Bytes& frame);
    // Requests with the given command, in order.
    std::vector<SeenRequest> Requests(uint8_t command) const;
    std::vector<uint8_t> Commands() const;
};

// The scratch folder becomes the working folder for the test; the pipe and
// the link state start fresh and the bootloader answers.
class FirmwareTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes firmware/<name> with a 4-byte header (code version word at bytes
    // 2, 3) and dataLength data bytes following a fixed pattern.
    Bytes WriteImage(const std::string& name, uint16_t versionWord, std::size_t dataLength);
    void WriteRaw(const std::string& name, const Bytes& bytes);
    // The catalogue's text for an entry of the firmware folder.
    static std::string EntryPath(const std::string& name);

    FakeBootloader device;
    std::filesystem::path previousDir;
    std::filesystem::path scratch;
};

}  // namespace firmware_test
