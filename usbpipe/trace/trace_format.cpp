// Reading the trace format: a file's text into lines, and one line into its
// fields. Every look stays inside the line it was given, so any input reads
// as lines that are either whole or named as damaged.
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "usbpipe/trace/trace_format.h"

namespace ductra {

namespace {

// The words of a line, separated by single spaces; false when a word is
// empty (a space at either end, or two in a row).
bool SplitWords(std::string_view text, std::vector<std::string_view>& words) {
    words.clear();
    std::size_t from = 0;
    for (;;) {
        const std::size_t space = text.find(' ', from);
        const std::string_view word = text.substr(
            from, space == std::string_view::npos ? std::string_view::npos : space - from);
        if (word.empty()) return false;
        words.push_back(word);
        if (space == std::string_view::npos) return true;
        from = space + 1;
    }
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal integer within [low, high]: an optional '-' and 1 to 18 digits.
bool ParseInteger(std::string_view text, int64_t low, int64_t high, int64_t& value) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 18) return false;
    int64_t magnitude = 0;
    for (char c : text) {
        if (!IsDigit(c)) return false;
        magnitude = magnitude * 10 + (c - '0');
    }
    value = negative ? -magnitude : magnitude;
    return value >= low && value <= high;
}

// "1234.567": milliseconds with three decimals, as microseconds.
bool ParseTime(std::string_view text, uint64_t& micros) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || text.size() - dot != 4) return false;
    int64_t whole = 0;
    int64_t fraction = 0;
    if (!ParseInteger(text.substr(0, dot), 0, 999999999999999, whole) ||
        !ParseInteger(text.substr(dot + 1), 0, 999, fraction) || !IsDigit(text[dot + 1])) {
        return false;
    }
    micros = static_cast<uint64_t>(whole) * 1000u + static_cast<uint64_t>(fraction);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ", a day of the calendar and a time of the day
// (a leap second's 60 included).
bool IsUtcStamp(std::string_view text) {
    constexpr std::string_view shape = "0000-00-00T00:00:00.000Z";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '0' ? !IsDigit(text[i]) : text[i] != shape[i]) return false;
    }
    const auto at = [text](std::size_t i, std::size_t n) {
        int value = 0;
        for (std::size_t k = i; k < i + n; ++k) value = value * 10 + (text[k] - '0');
        return value;
    };
    const int year = at(0, 4), month = at(5, 2), day = at(8, 2);
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    if (day > days[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
    return at(11, 2) < 24 && at(14, 2) < 60 && at(17, 2) <= 60;
}

// A key=value word; false for a word of another shape.
bool SplitField(std::string_view word, std::string_view& key, std::string_view& value) {
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    key = word.substr(0, equals);
    value = word.substr(equals + 1);
    return true;
}

TraceLineStatus Damaged(std::string& problem, std::string text) {
    problem = std::move(text);
    return TraceLineStatus::Damaged;
}

std::string Quoted(std::string_view word) {
    // Long words are cut: the message names the line, not its whole text.
    constexpr std::size_t kShown = 24;
    std::string text(word.substr(0, kShown));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    }
    return "'" + text + (word.size() > kShown ? "...'" : "'");
}

TraceLineStatus ParseHeader(const std::vector<std::string_view>& words, TraceHeader& header,
                            std::string& problem) {
    int64_t version = 0;
    if (words.size() < 2 || !ParseInteger(words[1], 0, 1000000, version)) {
        return Damaged(problem, "a header without its format version");
    }
    header.version = static_cast<int>(version);
    if (version != TraceFormatVersion) return TraceLineStatus::UnknownVersion;
    bool library = false, platform = false, start = false;
    for (std::size_t i = 2; i < words.size(); ++i) {
        std::string_view key, value;
        if (!SplitField(words[i], key, value)) {
            return Damaged(problem, "header: " + Quoted(words[i]) + " is not a field");
        }
        if (key == "library") {
            header.library = value;
            library = !value.empty();
        } else if (key == "platform") {
            header.platform = value;
            platform = !value.empty();
        } else if (key == "start") {
            if (!IsUtcStamp(value)) return Damaged(problem, "header: the start time is damaged");
            header.start = value;
            start = true;
        }
    }
    if (!library || !platform || !start) {
        return Damaged(problem, std::string("header: ") +
                                    (!library    ? "library"
                                     : !platform ? "platform"
                                                 : "start") +
                                    " is missing");
    }
    return TraceLineStatus::Read;
}

// The fields a call line may carry, and which it carries.
struct Fields {
    bool result = false, error = false, timeout = false, capacity = false, length = false,
         count = false;
};

TraceLineStatus ParseCall(const std::vector<std::string_view>& words, TraceEntry& entry,
                          std::string& problem) {
    if (!ParseTime(words[0], entry.micros)) return Damaged(problem, "not a trace line");
    if (words.size() < 2) return Damaged(problem, "no call after the time");
    const std::string_view call = words[1];
    char marker = 0;
    if (call == "open") {
        entry.call = TraceCall::Open;
    } else if (call == "send") {
        entry.call = TraceCall::Send;
        marker = '>';
    } else if (call == "receive") {
        entry.call = TraceCall::Receive;
        marker = '<';
    } else if (call == "close") {
        entry.call = TraceCall::Close;
    } else {
        return Damaged(problem, "unknown call " + Quoted(call));
    }

    Fields seen;
    std::size_t i = 2;
    for (; i < words.size(); ++i) {
        const std::string_view word = words[i];
        if (word == ">" || word == "<") break;
        std::string_view key, value;
        if (!SplitField(word, key, value))
            return Damaged(problem, Quoted(word) + " is not a field");
        int64_t number = 0;
        bool* flag = nullptr;
        int64_t low = INT32_MIN;
        int64_t high = INT32_MAX;
        if (key == "result") {
            flag = &seen.result;
        } else if (key == "error") {
            flag = &seen.error;
        } else if (key == "timeout") {
            flag = &seen.timeout;
        } else if (key == "capacity") {
            flag = &seen.capacity;
        } else if (key == "length" || key == "count") {
            flag = key == "length" ? &seen.length : &seen.count;
            low = 0;
            high = UINT32_MAX;
        } else {
            continue;  // a field of a later writer: not needed here
        }
        if (*flag) return Damaged(problem, "field " + std::string(key) + " given twice");
        if (!ParseInteger(value, low, high, number)) {
            return Damaged(problem, "field " + std::string(key) + ": " + Quoted(value) +
                                        " is not a number in range");
        }
        *flag = true;
        if (key == "result") entry.result = static_cast<int32_t>(number);
        if (key == "error") entry.error = static_cast<int32_t>(number);
        if (key == "timeout") entry.timeout = static_cast<int32_t>(number);
        if (key == "capacity") entry.capacity = static_cast<int32_t>(number);
        if (key == "length" || key == "count") entry.length = static_cast<uint32_t>(number);
    }
    entry.hasError = seen.error;

    const bool hasBytes = i < words.size();
    if (hasBytes && words[i][0] != marker) {
        return Damaged(problem, "bytes marked " + Quoted(words[i]) + " in a " + std::string(call));
    }
    if (hasBytes) {
        for (std::size_t b = i + 1; b < words.size(); ++b) {
            const std::string_view byte = words[b];
            if (byte.size() != 2 || HexDigit(byte[0]) < 0 || HexDigit(byte[1]) < 0) {
                return Damaged(problem, Quoted(byte) + " is not a byte");
            }
            entry.bytes.push_back(static_cast<uint8_t>(HexDigit(byte[0]) * 16 + HexDigit(byte[1])));
        }
    }

    if (!seen.result) return Damaged(problem, "field result is missing");
    switch (entry.call) {
        case TraceCall::Open:
        case TraceCall::Close:
            if (hasBytes) return Damaged(problem, "bytes in a " + std::string(call));
            return TraceLineStatus::Read;
        case TraceCall::Send:
            if (!seen.timeout || !seen.length) {
                return Damaged(problem, std::string("field ") +
                                            (!seen.timeout ? "timeout" : "length") + " is missing");
            }
            break;
        case TraceCall::Receive:
            if (!seen.timeout || !seen.capacity) {
                return Damaged(problem, std::string("field ") +
                                            (!seen.timeout ? "timeout" : "capacity") +
                                            " is missing");
            }
            // Bytes come with a delivered count, and only then.
            if (entry.result != 0 && (seen.count || hasBytes)) {
                return Damaged(problem, "bytes of a receive that failed");
            }
            if (entry.result == 0 && (!seen.count || !hasBytes)) {
                return Damaged(problem, "a receive that succeeded without its bytes");
            }
            // The writer never records more than the caller had room for.
            if (entry.result == 0 &&
                (entry.capacity < 0 || entry.length > static_cast<uint32_t>(entry.capacity))) {
                return Damaged(problem, "count " + std::to_string(entry.length) +
                                            " more than the capacity " +
                                            std::to_string(entry.capacity));
            }
            break;
    }
    if (hasBytes) {
        const std::size_t expected =
            entry.length < TraceBytesLimit ? entry.length : TraceBytesLimit;
        if (entry.bytes.size() != expected) {
            return Damaged(problem,
                           std::string(entry.call == TraceCall::Send ? "length " : "count ") +
                               std::to_string(entry.length) + " but " +
                               std::to_string(entry.bytes.size()) + " bytes");
        }
    }
    return TraceLineStatus::Read;
}

}  // namespace

TraceLineStatus ParseTraceLine(std::string_view text, TraceLine& line, std::string& problem) {
    line = TraceLine{};
    problem.clear();
    std::vector<std::string_view> words;
    if (text.empty()) return Damaged(problem, "an empty line");
    if (!SplitWords(text, words)) return Damaged(problem, "a space where a word belongs");
    if (words[0] == "ductra-trace") {
        line.isHeader = true;
        return ParseHeader(words, line.header, problem);
    }
    return ParseCall(words, line.entry, problem);
}

std::vector<TraceTextLine> SplitTraceText(std::string_view text) {
    std::vector<TraceTextLine> lines;
    uint32_t number = 0;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t newline = text.find('\n', from);
        TraceTextLine line;
        line.number = ++number;
        if (newline == std::string_view::npos) {
            line.text = text.substr(from);
            line.cutOff = true;
            from = text.size();
        } else {
            line.text = text.substr(from, newline - from);
            from = newline + 1;
        }
        // NULs a killed 1.0.0 writer left: what stands before them is all
        // the line there is.
        const std::size_t firstNul = line.text.find('\0');
        if (firstNul != std::string_view::npos) {
            line.text = line.text.substr(0, firstNul);
            line.cutOff = true;
        }
        // A file whose line ends were turned into "\r\n" still reads.
        if (!line.text.empty() && line.text.back() == '\r') line.text.remove_suffix(1);
        if (line.cutOff && line.text.empty()) continue;
        lines.push_back(line);
    }
    return lines;
}

bool ReadWholeFile(const char* path, std::string& text) {
    text.clear();
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    return read;
}

}  // namespace ductra
