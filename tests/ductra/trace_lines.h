// What the backends' trace tests share: a trace file's lines with the
// milliseconds that begin each call line taken off, and the lines of the
// calls both tests make.
#pragma once

#include <fstream>
#include <string>
#include <vector>

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
