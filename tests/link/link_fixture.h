// Shared set-up of the link-layer tests: a fresh link state and scripted
// pipe, a captured console and a fake clock for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "usbpipe/ductra.h"
#include "link/link.h"
#include "support/console_capture.h"
#include "support/scripted_pipe.h"

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLinkState();
        ScriptedPipe::Reset();
    }
    void TearDown() override {
        ResetLinkState();
        ScriptedPipe::Reset();
    }
    // The working state after start-up: trace off, 2000 ms receives, sonde.
    static void Working() {
        LinkQuiet = 1;
        ReceiveTimeout = WorkingReceiveTimeoutMs;
        DeviceAddress = 1;
    }
    static ScriptedPipe::Bytes BytesOf(std::initializer_list<uint8_t> bytes) { return bytes; }

    FakeClock clock_;
};

// The three lines of a CRC mismatch.
inline std::string MismatchLines(const std::string& received, const std::string& computed) {
    const std::string bangs = "\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
    return bangs + "Response corrupt, CRC mismatch: " + received + " != " + computed + "\n" + bangs;
}
