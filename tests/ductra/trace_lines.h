// What the backends' trace tests share: the calls both make, a trace file's
// lines with the milliseconds that begin each call line taken off, the lines
// those calls must give, and a trace written by two threads at once while a
// second writer is refused. Paths are UTF-8.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "usbpipe/ductra.h"
#include "usbpipe/trace/trace_writer.h"

// A UTF-8 path as the platform's file system takes it.
inline std::filesystem::path TracePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::vector<std::string> TraceLinesWithoutTimes(const std::string& path) {
    std::ifstream in(TracePath(path), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ductra-trace ", 0) != 0) line.erase(0, line.find(' ') + 1);
        lines.push_back(line);
    }
    return lines;
}

// An open, the send of a listing request, its 5-byte answer, a receive that
// times out with the given system error, and a close.
inline std::vector<std::string> OneCallOfEachKind(int timeoutError) {
    return {"open result=0", "send timeout=10000 length=6 result=0 > 01 09 00 00 25 E8",
            "receive capacity=1024 timeout=2000 result=0 count=5 < 00 00 01 00 7F",
            "receive capacity=1024 timeout=20 result=-1 error=" + std::to_string(timeoutError),
            "close result=0"};
}

// Traces into path, a new file, an open, the send of a listing request, its
// 5-byte answer (which `answer` has the device send), a receive that times
// out and a close; then checks that the trace holds the header of this
// platform and exactly the lines of these calls. Call it through
// ASSERT_NO_FATAL_FAILURE.
template <typename Answer>
void TraceOneCallOfEachKind(const std::string& path, Answer answer, const char* platform,
                            int timeoutError) {
    std::error_code ignored;
    std::filesystem::remove(TracePath(path), ignored);
    ductra::TraceRestart(path.c_str());
    DuctraChatty(1);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    uint8_t frame[] = {0x01, 0x09, 0x00, 0x00, 0x25, 0xE8};
    EXPECT_EQ(DuctraSend(frame, sizeof(frame), 10000), 0);
    answer(std::vector<uint8_t>{0x00, 0x00, 0x01, 0x00, 0x7F});
    uint8_t buffer[1024] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 2000, &count), 0);
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 20, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(DuctraClose(), 0);
    ductra::TraceRestart(nullptr);

    const std::vector<std::string> calls = TraceLinesWithoutTimes(path);
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].rfind("ductra-trace 1 library=ductra/", 0), 0u) << calls[0];
    EXPECT_NE(calls[0].find(std::string(" platform=") + platform + " start="), std::string::npos)
        << calls[0];
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 1, calls.end()),
              OneCallOfEachKind(timeoutError));
}

// Traces into path, a new file, from two threads at once; meanwhile a second
// writer's open of the file is refused (secondWriterRefused tells) and a
// reader's is not. Then checks that every line is whole, each thread's lines
// in its order.
template <typename SecondWriterRefused>
void TraceFromTwoThreads(const std::string& path, SecondWriterRefused secondWriterRefused) {
    constexpr uint32_t kLinesEach = 20000;
    std::error_code ignored;
    std::filesystem::remove(TracePath(path), ignored);
    ductra::TraceRestart(path.c_str());
    EXPECT_TRUE(secondWriterRefused());
    EXPECT_TRUE(std::ifstream(TracePath(path), std::ios::binary).is_open());
    // Both threads start together, so that their lines are traced at the
    // same time.
    std::atomic<int> ready{0};
    const auto trace = [&ready](uint8_t thread) {
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        std::vector<uint8_t> bytes(100, thread);
        for (uint32_t line = 0; line < kLinesEach; ++line) {
            for (int k = 0; k < 4; ++k) bytes[1 + k] = static_cast<uint8_t>(line >> (8 * k));
            const uint32_t count = static_cast<uint32_t>(bytes.size());
            ductra::TraceReceive(bytes.data(), 1024, 2000, 0, &count);
        }
    };
    std::thread first(trace, uint8_t{0xA1});
    std::thread second(trace, uint8_t{0xB2});
    first.join();
    second.join();
    ductra::TraceRestart(nullptr);

    const std::vector<std::string> lines = TraceLinesWithoutTimes(path);
    ASSERT_EQ(lines.size(), 2 * kLinesEach + 1);
    uint32_t next[2] = {0, 0};
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::string head = "receive capacity=1024 timeout=2000 result=0 count=100 < ";
        ASSERT_EQ(line.compare(0, head.size(), head), 0) << "line " << i + 1 << ": " << line;
        const bool isFirst = line.compare(head.size(), 2, "A1") == 0;
        const uint8_t thread = isFirst ? 0xA1 : 0xB2;
        uint32_t& expected = next[isFirst ? 0 : 1];
        std::string want = head;
        char hex[4];
        for (int b = 0; b < 100; ++b) {
            const uint8_t value =
                b >= 1 && b <= 4 ? static_cast<uint8_t>(expected >> (8 * (b - 1))) : thread;
            std::snprintf(hex, sizeof hex, b == 0 ? "%02X" : " %02X", value);
            want += hex;
        }
        ASSERT_EQ(line, want) << "line " << i + 1;
        ++expected;
    }
    EXPECT_EQ(next[0], kLinesEach);
    EXPECT_EQ(next[1], kLinesEach);
}
