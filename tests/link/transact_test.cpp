// Whole exchanges: the folding of device status and link result, the
// device-family query, the report of a failed exchange and the pipe reopen.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link_fixture.h"
#include "terminal/console_io.h"

namespace {

using TransactTest = LinkTest;
using ScriptedPipe::Bytes;

TEST_F(TransactTest, SetsCommandAndLengthButNotTheAddress) {
    ConsoleCapture console;
    Working();
    DeviceAddress = 3;
    ScriptedPipe::QueueResponse(0);
    RequestPayload[0] = 0x10;
    RequestPayload[1] = 0x0E;
    EXPECT_EQ(Transact(0x04, RequestPayload, 2, &ResponseLength), 0);
    EXPECT_EQ(DeviceAddress, 3);
    EXPECT_EQ(CommandCode, 0x04);
    EXPECT_EQ(PayloadLength(RequestHeader), 2);
    ASSERT_EQ(ScriptedPipe::Sent().size(), 1u);
    const Bytes& frame = ScriptedPipe::Sent()[0];
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 6), BytesOf({3, 0x04, 2, 0, 0x10, 0x0E}));
    EXPECT_EQ(ResponseLength, 6);
}

TEST_F(TransactTest, FoldsStatusAndLinkResultIntoOneByte) {
    ConsoleCapture console;
    Working();
    uint16_t length = 0;

    ScriptedPipe::QueueResponse(5);
    EXPECT_EQ(Transact(0x82, RequestPayload, 2, &length), 5);

    ScriptedPipe::QueueTimeout();
    EXPECT_EQ(Transact(0x82, RequestPayload, 2, &length), 255);
    EXPECT_EQ(ResponseStatus, 0);

    ScriptedPipe::QueueRead(0, {0x00, 0x00, 0x00});
    ScriptedPipe::QueueRead(0, {0x00});
    EXPECT_EQ(Transact(0x82, RequestPayload, 2, &length), 1);

    // A status that arrived in a frame cut short still takes precedence.
    ScriptedPipe::QueueRead(0, {0x00, 0x09, 0x00});
    ScriptedPipe::QueueTimeout();
    EXPECT_EQ(Transact(0x82, RequestPayload, 2, &length), 9);

    ScriptedPipe::SetOpen(false);
    EXPECT_EQ(Transact(0x82, RequestPayload, 2, &length), 251);
    EXPECT_EQ(console.Output(), "");
}

TEST_F(TransactTest, CrcMismatchStillSucceeds) {
    ConsoleCapture console;
    Working();
    Bytes frame = ScriptedPipe::ResponseFrame(0, {1, 2, 3});
    frame.back() ^= 0x01;
    ScriptedPipe::QueueRead(0, frame);
    EXPECT_EQ(Transact(0x09, RequestPayload, 0, &ResponseLength), 0);
    EXPECT_EQ(ResponseLength, 9);
    EXPECT_NE(console.Output().find("Response corrupt, CRC mismatch: "), std::string::npos);
}

TEST_F(TransactTest, QueryDeviceFamilyAsksForTheBoardRecord) {
    ConsoleCapture console;
    Working();
    ScriptedPipe::QueueResponse(0, {202, 2, 0x85, 0x1C});
    EXPECT_EQ(QueryDeviceFamily(0), 202);
    EXPECT_EQ(ResponseCursor, ResponseBuffer + 4);
    ASSERT_EQ(ScriptedPipe::Sent().size(), 1u);
    EXPECT_EQ(ScriptedPipe::Sent()[0], BytesOf({0x01, 0x82, 0x02, 0x00, 0x00, 0x00, 0x9B, 0xCE}));

    ScriptedPipe::QueueResponse(0, {11, 1});
    EXPECT_EQ(QueryDeviceFamily(5), 11);
    EXPECT_EQ(ScriptedPipe::Sent()[1][4], 5);
    EXPECT_EQ(ScriptedPipe::Sent()[1][5], 0);
    EXPECT_EQ(console.Output(), "");
}

TEST_F(TransactTest, QueryDeviceFamilyFailuresGiveZero) {
    ConsoleCapture console;
    Working();
    ScriptedPipe::QueueResponse(5, {202});
    EXPECT_EQ(QueryDeviceFamily(0), 0);
    ScriptedPipe::QueueTimeout();
    EXPECT_EQ(QueryDeviceFamily(0), 0);
    EXPECT_EQ(console.Output(), "command error\ncommand error\n");
    // An empty payload has no family byte to read; the CRC's low byte stands
    // where it would be, and is not 0.
    std::array<uint8_t, FrameCapacity> frame{};
    const std::size_t size = BuildFrame(0x01, 0x00, {}, frame);
    ASSERT_EQ(size, 6u);
    ASSERT_NE(frame[4], 0);
    ScriptedPipe::QueueRead(0, Bytes(frame.begin(), frame.begin() + 6));
    EXPECT_EQ(QueryDeviceFamily(0), 0);
    EXPECT_EQ(console.Output(), "command error\ncommand error\n");
}

TEST_F(TransactTest, PrintLinkErrorCombinations) {
    {
        ConsoleCapture console;
        PrintLinkError(0, 0);
        EXPECT_EQ(console.Output(), "");
    }
    {
        ConsoleCapture console;
        PrintLinkError(0, 7);
        EXPECT_EQ(console.Output(),
                  "TAVI Error:   7: Parameter not available, don't know what this is.\n");
    }
    {
        ConsoleCapture console;
        PrintLinkError(-1, 0);
        const std::string out = console.Output();
        EXPECT_EQ(out.rfind("Windows error: ", 0), 0u) << out;
        EXPECT_EQ(out.find("TAVI Error"), std::string::npos);
    }
    {
        ConsoleCapture console;
        PrintLinkError(-1, 18);
        const std::string out = console.Output();
        EXPECT_EQ(out.rfind("TAVI Error:   18: TAVI Bus Timeout (Device not responding).\n"
                            "Windows error: ",
                            0),
                  0u)
            << out;
    }
#if !defined(_WIN32)
    {
        // A console whose every write changes errno, as a console write may
        // change the last error on Windows: the text shown is still that of
        // the error the exchange left.
        std::string written;
        cookie_io_functions_t functions{};
        functions.write = [](void* cookie, const char* data, size_t size) -> ssize_t {
            static_cast<std::string*>(cookie)->append(data, size);
            errno = EILSEQ;
            return static_cast<ssize_t>(size);
        };
        FILE* console = fopencookie(&written, "w", functions);
        ASSERT_NE(console, nullptr);
        setvbuf(console, nullptr, _IONBF, 0);
        SetConsoleStreams(nullptr, console);
        errno = ENODEV;
        PrintLinkError(-1, 18);
        SetConsoleStreams(nullptr, nullptr);
        std::fclose(console);
        EXPECT_EQ(written,
                  "TAVI Error:   18: TAVI Bus Timeout (Device not responding).\n"
                  "Windows error: " +
                      std::string(std::strerror(ENODEV)) + "\n");
    }
#endif
}

TEST_F(TransactTest, ReopenPipeClosesWaitsAndOpens) {
    {
        ConsoleCapture console;
        const uint64_t before = FakeClock::Now();
        EXPECT_EQ(ReopenPipe(100), 0);
        EXPECT_GE(FakeClock::Now() - before, 100u);
        EXPECT_EQ(ScriptedPipe::CloseCalls(), 1);
        EXPECT_EQ(ScriptedPipe::OpenCalls(), 1);
        EXPECT_TRUE(ScriptedPipe::IsOpen());
        EXPECT_EQ(console.Output(), "Waiting on reset... Opening USB port.\n");
    }
    {
        ConsoleCapture console;
        ScriptedPipe::SetOpenResult(DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
        EXPECT_EQ(ReopenPipe(5000), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
        EXPECT_FALSE(ScriptedPipe::IsOpen());
        EXPECT_EQ(console.Output(),
                  "Waiting on reset... Opening USB port.\nFailed to init USB port!\n");
        // The next exchange finds the pipe not open.
        Working();
        EXPECT_EQ(Transact(0x09, RequestPayload, 0, &ResponseLength), 251);
    }
}

}  // namespace
