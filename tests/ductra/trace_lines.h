// What the backends' trace tests share: the calls both make, a trace file's
// lines with the milliseconds that begin each call line taken off, the lines
// those calls must give, and a trace longer than one window of the file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "usbpipe/ductra.h"
#include "usbpipe/trace/trace_writer.h"

inline std::vector<std::string> TraceLinesWithoutTimes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
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
    std::remove(path.c_str());
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

// Traces into path, a new file, more lines than several windows of the file
// hold, each with its number in its first bytes; then checks that every line
// is there whole and in order, and that closing cut the file to its lines.
inline void TraceAcrossWindows(const std::string& path) {
    constexpr uint32_t kLines = 20000;  // about 13 MB of lines
    std::remove(path.c_str());
    ductra::TraceRestart(path.c_str());
    std::vector<uint8_t> bytes(200);
    for (std::size_t i = 4; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    for (uint32_t line = 0; line < kLines; ++line) {
        for (int k = 0; k < 4; ++k) bytes[k] = static_cast<uint8_t>(line >> (8 * k));
        const uint32_t count = static_cast<uint32_t>(bytes.size());
        ductra::TraceReceive(bytes.data(), 1024, 2000, 0, &count);
    }
    ductra::TraceRestart(nullptr);

    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find('\0'), std::string::npos) << "the file was not cut to its lines";
    EXPECT_EQ(text.back(), '\n');
    std::string tail;
    for (std::size_t i = 4; i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        tail += hex;
    }
    const std::vector<std::string> lines = TraceLinesWithoutTimes(path);
    ASSERT_EQ(lines.size(), kLines + 1);
    for (uint32_t line = 0; line < kLines; ++line) {
        char head[96];
        std::snprintf(head, sizeof head,
                      "receive capacity=1024 timeout=2000 result=0 count=200 < %02X %02X %02X %02X",
                      line & 0xFF, (line >> 8) & 0xFF, (line >> 16) & 0xFF, line >> 24);
        ASSERT_EQ(lines[line + 1], head + tail) << "line " << line + 2;
    }
}
