// Status codes and their operator texts.
#include "protocol/status.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/console_capture.h"

namespace {

std::string MessageOf(uint8_t code) {
    ConsoleCapture console;
    StatusMessage(code);
    return console.Output();
}

TEST(StatusMessageTest, EveryDeviceStatusHasItsText) {
    const std::vector<std::pair<int, std::string>> table = {
        {0, "Success\n"},
        {1, "Some communications failure.\n"},
        {2, "Not yet implemented, hold off for long execution time.\n"},
        {3, "Invalied command, not recognized.\n"},
        {4, "Invalid data, command malformed or improper config.\n"},
        {5, "Device not available, sent bad data.\n"},
        {6, "COmponent not available or sent bad data.\n"},
        {7, "Parameter not available, don't know what this is.\n"},
        {8, "Service not available or not known.\n"},
        {9, "Scheduled service not available or not known.\n"},
        {10, "Log not available, or data block not found.\n"},
        {11, "File system not available - Not supported in this device.\n"},
        {12, "TAVI bus CRC error.\n"},
        {13, "TAVI bus buffer overrun.\n"},
        {14, "Setup not available, not found.\n"},
        {15, "User does not have access rights. (Not implemented)\n"},
        {16, "Device Error, either device fault or command error.\n"},
        {17, "Data Not Ready, old log session active when a new session is triggered.\n"},
        {18, "TAVI Bus Timeout (Device not responding).\n"},
        {19, "Duplicate log file name.\n"},
        {20, "Log File System hardware failure, or log not found.\n"},
        {21, "LXFF media is not formatted or the format is corrupted.\n"},
        {22, "Log full, LXFF log has reached max capacity.\n"},
        {23,
         "Operation not allowed, trying to set the clock while log running or delete a log "
         "when a log running.\n"},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(MessageOf(static_cast<uint8_t>(code)), "  " + std::to_string(code) + ": " + text)
            << "code " << code;
    }
}

TEST(StatusMessageTest, PipeHeldElsewhereSpansFourLines) {
    const std::string stars = "************************************************\n";
    ASSERT_EQ(stars.size(), 49u);
    EXPECT_EQ(MessageOf(251),
              "  251: Close Quellis and this program and try again.\n" + stars + stars + stars);
}

TEST(StatusMessageTest, CodesWithoutTextOfTheirOwn) {
    for (int code : {24, 100, 250, 252, 255}) {
        EXPECT_EQ(MessageOf(static_cast<uint8_t>(code)),
                  "  " + std::to_string(code) + ": Huh? What is this?\n")
            << "code " << code;
    }
}

}  // namespace
