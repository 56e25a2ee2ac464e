// Shared set-up of the service command tests: the working link state after
// start-up, a scripted pipe, a fake clock, and helpers to read back the
// requests a command sent.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "link/link.h"
#include "protocol/catalogue.h"
#include "protocol/time_format.h"
#include "service/menu_state.h"
#include "service/service.h"
#include "support/console_capture.h"
#include "support/scripted_pipe.h"
#include "terminal/console_io.h"

using Bytes = ScriptedPipe::Bytes;

// One request as it went over the wire.
struct SentRequest {
    uint8_t address;
    uint8_t command;
    Bytes payload;
};

inline bool operator==(const SentRequest& a, const SentRequest& b) {
    return a.address == b.address && a.command == b.command && a.payload == b.payload;
}

inline void PrintTo(const SentRequest& r, std::ostream* os) {
    *os << "address " << int{r.address} << " command 0x" << std::hex << int{r.command}
        << " payload";
    for (uint8_t b : r.payload) *os << ' ' << std::hex << int{b};
}

// The requests sent so far, decoded from the recorded frames.
inline std::vector<SentRequest> SentRequests() {
    std::vector<SentRequest> requests;
    for (const Bytes& frame : ScriptedPipe::Sent()) {
        if (frame.size() < FrameOverhead) {
            ADD_FAILURE() << "a frame shorter than its header and CRC was sent";
            continue;
        }
        const std::size_t length = ReadLe16(&frame[2]);
        EXPECT_EQ(frame.size(), length + FrameOverhead) << "frame length field";
        const auto payload = frame.begin() + static_cast<std::ptrdiff_t>(FrameHeaderSize);
        requests.push_back({frame[0], frame[1],
                            Bytes(payload, payload + static_cast<std::ptrdiff_t>(std::min(
                                                         length, frame.size() - FrameOverhead)))});
    }
    return requests;
}

inline void AppendLe32(Bytes& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Number of times needle occurs in text.
inline int Occurrences(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

// Reads what is left of the scripted keyboard's next token, to show what a
// command left behind for the next menu answer.
inline std::string NextToken() {
    char token[32] = {};
    ConsoleScan("%s", token, sizeof token);
    return token;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLinkState();
        ScriptedPipe::Reset();
        // The working state after start-up: trace off, 2000 ms receives, the sonde.
        LinkQuiet = 1;
        ReceiveTimeout = WorkingReceiveTimeoutMs;
        DeviceAddress = 1;
        MenuState = MenuSensorBoards;
        UtcOffset = 0;
        SondeModel = 4;
    }
    void TearDown() override {
        ResetLinkState();
        ScriptedPipe::Reset();
        MenuState = MenuTop;
        UtcOffset = 0;
        SondeModel = 4;
    }
    // Enters a device menu as the top menu does.
    static void InMenu(uint8_t menu, uint8_t address) {
        MenuState = menu;
        DeviceAddress = address;
    }
    // Queues `count` plain successful answers.
    static void AnswerOk(int count) {
        for (int i = 0; i < count; ++i) ScriptedPipe::QueueResponse(0);
    }

    FakeClock clock_;
};
