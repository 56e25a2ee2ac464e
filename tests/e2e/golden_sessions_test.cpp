// Golden sessions: whole quillon-sim sessions whose console output and wire
// log are compared byte for byte with reviewed files, tests/golden/NAME.out
// and NAME.wire. Together they run every command of every menu. Each session
// is also traced (DUCTRA_TRACE): quillon-trace's two reports of the trace are
// compared with NAME.read and NAME.changes, and the session replayed from its
// trace (DUCTRA_SIM_REPLAY) must show the screen of NAME.out again. The
// reader's edge cases are hand-made traces in tests/golden/traces/, each with
// its two reports. A file whose text differs is written to golden-new/ in the
// build tree, from where scripts/update_golden.sh copies it after a
// deliberate change.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>

#include "shell_e2e.h"
#include "support/session_process.h"

namespace {

namespace fs = std::filesystem;

struct GoldenSession {
    const char* name;
    const char* scenario;  // a ready-made scenario of sim/scenarios, a scenario's
                           // JSON text ("{..."), or "" for the default
    const char* image;     // the one image in the session's firmware folder, or ""
    int imageDataBytes;    // its length less the 4 header bytes
    const char* input;
    // Typed in the replay instead of input: the replay goes another way at
    // one request, and its screen and standard error are NAME.replay.out.
    const char* replayInput = nullptr;
    // A trace of tests/golden/traces/ that stands before the recorded one in
    // the replayed file: only the last trace of a file is replayed.
    const char* replayAfter = nullptr;
};

const GoldenSession Sessions[] = {
    {"sensor_boards", "", "kdo.bin", 3 * 256,
     "s\n"
     "ll\n"
     "cn\n1\n"          // a calibration of the most steps a record may hold
     "rs\n4\n0\n"       // a soft reset
     "rs\n4\n2\n"       // a level that is refused
     "cl\n0\n3\n"       // address 0 is refused and asked again
     "sf\n4\n"          // not a fluorometer
     "sf\n5\nsix\n2\n"  // a word, then Rhodamine
     "sn\n6\n"          // the depth sensor keeps its serial number
     "sn\n2\nABC123\n"
     "bd\n2\n"
     "md\n2\n30\n"
     "cn\n2\n"       // the serial number, dates and interval just written
     "dl\n1\n3\n\n"  // three blocks
     "ll\n"          // the new code version
     "rm\n"
     "q\n"},
    {"main_board", "", "", 0,
     "m\n"
     "rs\n0\n"
     "cn\n"
     "si\n"
     "bd\n"
     "md\n"
     "sn\nSN-MAIN-7\n"
     "si\n"
     "sb\n"
     "cl\n"  // format of the log media: the sonde resets and is listed again
     "cn\n"
     "rs\n1\n"
     "cn\n"  // the factory reset emptied the calibrations
     "rm\n"
     "m\n"
     "q\n"},
    {"handheld", "handheld", "", 0,
     "h\n"
     "ll\n"
     "cn\n"
     "sn\nHH-0042\n"
     "bd\n"
     "cn\n"
     "rs\n2\n"  // refused: a real reset keeps the handheld away for 25 s
     "rm\n"
     "h\n"
     "q\n",
     // the replay sends another serial number, answered by a time-out, and
     // then agrees with the trace again
     "h\n"
     "ll\n"
     "cn\n"
     "sn\nHH-0043\n"
     "bd\n"
     "cn\n"
     "rs\n2\n"
     "rm\n"
     "h\n"
     "q\n",
     // and the replayed file begins with a trace of a format version the
     // instrument does not replay
     "unknown_version.trace"},
    {"com_module_sdi12", "com-module-sdi12", "", 0,
     "c\n"
     "cn\n"
     "sn\nCM-77\n"
     "bd\n"
     "cn\n"
     "rs\n0\n"  // the module restarts and the pipe is opened again
     "rm\n"
     "c\n"
     "q\n"},
    {"readback_failure", "readback-failure", "kdo.bin", 3 * 256,
     "s\n"
     "dl\n1\n3\n"
     "ll\n"  // the old code version, through the reopened pipe
     "q\n"},
    {"silent_board_header_only_image", "silent-board", "header-only.bin", 0,
     "s\n"
     "ll\n"
     "cn\n4\n"
     "rs\n4\n0\n"
     "dl\n1\n3\n"
     "q\n"},
    {"full_sonde_image_under_one_block", "full-sonde", "short.bin", 255,
     "s\n"
     "ll\n"
     "dl\n1\n3\n"
     "q\n"},
    // data that are not a whole number of 256-byte blocks: refused before the erase
    {"image_with_a_part_block", "", "tail.bin", 300,
     "s\n"
     "dl\n1\n3\n"
     "q\n"},
    {"short_answers_and_retried_readback",
     R"({"faults": [
          {"command": "0x82", "board": 1, "occurrence": 1, "short": 0, "split": 0},
          {"command": "0x82", "board": 2, "occurrence": 1, "short": 1, "split": 0},
          {"command": "0x82", "board": 3, "occurrence": 1, "status": 16, "short": 2, "split": 0},
          {"command": "0x82", "board": 4, "occurrence": 1, "short": 3, "split": 0},
          {"command": "0x82", "board": 5, "occurrence": 1, "split": 14},
          {"command": "0x8A", "board": 2, "status": 16},
          {"command": "0xF2", "occurrence": 2, "timeout": true},
          {"command": "0xF0", "enter_wait_ms": 1000}, {"command": "0xF4", "erase_ms": 0}]})",
     "kdo.bin", 3 * 256,
     "s\n"
     "cn\n1\n"  // answers of 0, 1, 2 and 3 bytes, each after an empty read
     "cn\n2\n"
     "cn\n3\n"
     "cn\n4\n"
     "cn\n5\n"        // an answer in two reads
     "sn\n2\nXY-9\n"  // a serial number the board refuses
     "dl\n1\n3\n\n"   // the second read-back times out once and is asked again
     "q\n"},
};

// Stands for a value that depends on the wall clock: today's device time
// (its decimal, its date text, its four bytes on the wire).
const std::string Now = "<now>";
// Stands for the CRC of a frame that carries today's device time, checked.
const std::string NowCrc = "<crc>";
// 2000-01-01 00:00:00 UTC, the start of device time, on the C library's clock.
constexpr std::time_t DeviceEpoch = 946684800;

// Every device time from the session's start to its end. The sessions run in
// UTC, so device time and local time are the same.
struct Clock {
    uint32_t first;
    uint32_t last;
};

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

bool IsDigit(const std::string& text, std::size_t at) {
    return at < text.size() && text[at] >= '0' && text[at] <= '9';
}

// Today's date texts and device times, whole numbers only, become Now.
std::string MaskConsole(std::string text, Clock clock) {
    for (uint32_t t = clock.first; t <= clock.last; ++t) {
        const std::time_t wall = DeviceEpoch + t;
        char date[32];
        std::strftime(date, sizeof date, "%m/%d/ %Y %H:%M:%S", std::gmtime(&wall));
        ReplaceAll(text, date, Now);
        const std::string number = std::to_string(t);
        for (std::size_t at = text.find(number); at != std::string::npos;
             at = text.find(number, at + 1)) {
            if (at > 0 && IsDigit(text, at - 1)) continue;
            if (IsDigit(text, at + number.size())) continue;
            text.replace(at, number.size(), Now);
        }
    }
    return text;
}

// In one wire log line ("> 01 8B ..."), the four bytes of a device time of
// the session become Now; the frame's CRC becomes NowCrc only when it is the
// right CRC of the bytes received, so that a wrong one still shows.
std::string MaskWireLine(const std::string& line, Clock clock) {
    std::vector<uint8_t> bytes;
    std::istringstream hex(line.substr(1));
    for (unsigned byte = 0; hex >> std::hex >> byte;) bytes.push_back(static_cast<uint8_t>(byte));
    std::vector<int> mark(bytes.size(), 0);  // 1: a time's first byte, 2: covered, 3: CRC
    bool masked = false;
    for (std::size_t i = 0; i + 4 <= bytes.size(); ++i) {
        const uint32_t value = ReadLe32(&bytes[i]);
        if (value < clock.first || value > clock.last) continue;
        mark[i] = 1;
        mark[i + 1] = mark[i + 2] = mark[i + 3] = 2;
        masked = true;
        i += 3;
    }
    if (!masked) return line;
    const std::size_t n = bytes.size();
    if (n >= FrameOverhead && mark[n - 2] == 0 && mark[n - 1] == 0 &&
        Crc16::Of(std::span(bytes.data(), n - FrameCrcSize)) == ReadLe16(&bytes[n - 2])) {
        mark[n - 2] = 3;
        mark[n - 1] = 2;
    }
    std::string text = line.substr(0, 1);
    for (std::size_t i = 0; i < n; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%.2X", bytes[i]);
        if (mark[i] != 2) text += " " + (mark[i] == 1 ? Now : mark[i] == 3 ? NowCrc : byte);
    }
    return text;
}

// The line of text numbered `number` (from 1), visibly quoted; or the end.
std::string ShownLine(const std::string& text, std::size_t number) {
    std::istringstream lines(text);
    std::string line;
    for (std::size_t k = 0; k < number; ++k) {
        if (!std::getline(lines, line)) return "<end of file>";
    }
    std::string shown = "\"";
    for (char c : line) {
        if (c == '\r')
            shown += "\\r";
        else if (c == '\t')
            shown += "\\t";
        else
            shown += c;
    }
    return shown + "\"";
}

// Compares the session's text with its golden file; on a difference, names
// the first differing line and writes the text to golden-new/ in the build
// tree, or, for the screen of a replay, to golden-replayed/ beside it (the
// replay is held to the recorded session's file, never the other way).
void CompareWithGolden(const std::string& file, const std::string& expected,
                       const std::string& actual, bool replayed = false) {
    if (actual == expected) return;
    std::size_t line = 1;
    for (std::size_t i = 0; i < expected.size() && i < actual.size() && expected[i] == actual[i];
         ++i) {
        if (expected[i] == '\n') ++line;
    }
    const fs::path newDir(QUILLON_GOLDEN_NEW_DIR);
    const fs::path written = (replayed ? newDir.parent_path() / "golden-replayed" : newDir) / file;
    fs::create_directories(written.parent_path());
    std::ofstream(written, std::ios::binary) << actual;
    ADD_FAILURE() << (replayed ? "the replay: " : "") << "tests/golden/" << file
                  << " differs first at line " << line
                  << "\n  expected: " << ShownLine(expected, line)
                  << "\n  got:      " << ShownLine(actual, line)
                  << "\n  the session's output is in " << written.generic_string();
}

void WriteImage(const fs::path& path, int dataBytes) {
    // Header: two bytes, then code version 3.5; the data begin with the code
    // version the board runs after the download (the same), and no two
    // blocks of 256 bytes are alike.
    std::string bytes = {0x11, 0x22, '\x85', 0x01, '\x85', 0x01};
    for (int i = 2; i < dataBytes; ++i) bytes += static_cast<char>(i * 13 + i / 256 + 1);
    bytes.resize(4 + static_cast<std::size_t>(dataBytes));
    std::ofstream(path, std::ios::binary) << bytes;
}

// Names the session in gtest's messages.
void PrintTo(const GoldenSession& session, std::ostream* out) {
    *out << session.name;
}

// A program's output as its golden file holds it: standard output, then,
// when the program wrote to standard error or ended with another code than
// 0, a line with its exit code and what it wrote to standard error.
std::string Transcript(const SessionResult& result) {
    if (result.errors.empty() && result.exitCode == 0) return result.output;
    const bool ended = result.output.empty() || result.output.back() == '\n';
    return result.output + (ended ? "" : "\n") + "== exit " + std::to_string(result.exitCode) +
           ", standard error:\n" + result.errors;
}

#ifndef _WIN32
// A report of quillon-trace on a recorded session, with what depends on the
// run masked: the start stamp and library version of a trace's line, the
// milliseconds of an exchange, the UTC time of a change, and the device times
// of the session as the console's texts show them.
std::string MaskReport(const std::string& text, Clock clock) {
    std::istringstream lines(text);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("trace ", 0) == 0 && line.find(", started ") != std::string::npos) {
            const std::size_t slash = line.find('/');
            const std::size_t on = line.find(" on ", slash);
            if (slash != std::string::npos && on != std::string::npos) {
                line.replace(slash + 1, on - slash - 1, "<version>");
            }
            line = line.substr(0, line.find(", started ") + 10) + "<start>";
        } else {
            line = shell_e2e::LineWithoutTime(line);
        }
        out += line + "\n";
    }
    return MaskConsole(out, clock);
}

#endif

// The replay's standard error when it is not NAME.replay.out's: nothing, or
// the one request that differed only in today's time (a date stamped in the
// replay's second instead of the recording's).
void ExpectOnlyTodayDiffered(const std::string& errors, Clock clock) {
    if (errors.empty()) return;
    const std::string holds = "differs from the trace: the trace holds ";
    const std::size_t from = errors.find(holds);
    const std::size_t line = errors.find(" (line ", from);
    const std::size_t came = errors.find("), came ", line);
    const std::size_t end = errors.find("; answered by a time-out\n", came);
    ASSERT_TRUE(from != std::string::npos && line != std::string::npos &&
                came != std::string::npos && end != std::string::npos && end + 25 == errors.size())
        << errors;
    const std::string recorded = errors.substr(from + holds.size(), line - from - holds.size());
    const std::string sent = errors.substr(came + 8, end - came - 8);
    EXPECT_NE(recorded, sent);
    EXPECT_EQ(MaskWireLine("> " + recorded, clock), MaskWireLine("> " + sent, clock)) << errors;
}

class Golden : public ::testing::TestWithParam<GoldenSession> {};

TEST_P(Golden, SessionMatchesItsFiles) {
    const GoldenSession& session = GetParam();
    SessionOptions options;
    options.input = session.input;
    if (*session.scenario == '{') {
        options.scenarioJson = session.scenario;
    } else if (*session.scenario != '\0') {
        options.scenarioJson = ReadSessionFile(fs::path(QUILLON_SCENARIO_DIR) /
                                               (std::string(session.scenario) + ".json"));
        ASSERT_FALSE(options.scenarioJson.empty()) << session.scenario;
    }
    options.env["TZ"] = "UTC";
    // Relative to the session's folder, where the program runs.
    options.env["DUCTRA_TRACE"] = "session.trace";
    options.workDir = MakeSessionDir();
    options.timeoutSeconds = 300;
    ASSERT_FALSE(options.workDir.empty());
    const fs::path dir(options.workDir);
    const std::string image = session.image;
    if (!image.empty()) {
        fs::create_directory(dir / "firmware");
        WriteImage(dir / "firmware" / image, session.imageDataBytes);
    }

    const auto start = static_cast<uint32_t>(std::time(nullptr) - DeviceEpoch);
    const SessionResult result = RunSession(options);
    const Clock clock{start, static_cast<uint32_t>(std::time(nullptr) - DeviceEpoch)};

    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.errors, "");
    std::string wire;
    for (const std::string& line : result.wire) wire += MaskWireLine(line, clock) + "\n";
    const std::string name = session.name;
    // The golden files show the firmware folder's entries with '/'; this
    // platform shows them with its own separator.
    std::string expectedOut = ReadSessionFile(fs::path(QUILLON_GOLDEN_DIR) / (name + ".out"));
    if (!image.empty()) ReplaceAll(expectedOut, "firmware/" + image, FirmwarePath(image));
    CompareWithGolden(name + ".out", expectedOut, MaskConsole(result.output, clock));
    CompareWithGolden(name + ".wire",
                      ReadSessionFile(fs::path(QUILLON_GOLDEN_DIR) / (name + ".wire")), wire);

#ifndef _WIN32
    // The reader's two reports of the trace (on Linux: the reader is the same
    // code on every platform, and under wine each run costs a program start).
    for (const char* report : {"read", "changes"}) {
        std::vector<std::string> arguments{"session.trace"};
        if (std::string(report) == "changes") arguments.insert(arguments.begin(), "--changes");
        const SessionResult read = shell_e2e::ReadTrace(options.workDir, arguments);
        const std::string file = name + "." + report;
        CompareWithGolden(file, ReadSessionFile(fs::path(QUILLON_GOLDEN_DIR) / file),
                          MaskReport(Transcript(read), clock));
    }
#endif

#ifdef _WIN32
    // Under wine only the rows whose replay goes its own way are replayed:
    // each replay costs as long as its session, and the replay of every
    // session runs on Linux.
    if (session.replayInput == nullptr && session.replayAfter == nullptr) {
        std::error_code ignored;
        fs::remove_all(options.workDir, ignored);
        return;
    }
#endif
    // The replay from the trace, in the same folder (the same firmware).
    std::string trace = ReadSessionFile(dir / "session.trace");
    if (session.replayAfter != nullptr) {
        trace =
            ReadSessionFile(fs::path(QUILLON_GOLDEN_DIR) / "traces" / session.replayAfter) + trace;
        std::ofstream(dir / "session.trace", std::ios::binary) << trace;
    }
    SessionOptions replay;
    replay.input = session.replayInput != nullptr ? session.replayInput : session.input;
    replay.env["TZ"] = "UTC";
    replay.env["DUCTRA_SIM_REPLAY"] = "session.trace";
    replay.workDir = options.workDir;
    replay.timeoutSeconds = options.timeoutSeconds;
    const SessionResult replayed = RunSession(replay);
    const Clock whole{start, static_cast<uint32_t>(std::time(nullptr) - DeviceEpoch)};
    std::error_code ignored;
    fs::remove_all(options.workDir, ignored);

    EXPECT_FALSE(replayed.timedOut);
    if (session.replayInput != nullptr) {
        const std::string file = name + ".replay.out";
        std::string expected = ReadSessionFile(fs::path(QUILLON_GOLDEN_DIR) / file);
        if (!image.empty()) ReplaceAll(expected, "firmware/" + image, FirmwarePath(image));
        SessionResult masked = replayed;
        masked.output = MaskConsole(replayed.output, whole);
        CompareWithGolden(file, expected, Transcript(masked));
    } else {
        EXPECT_EQ(replayed.exitCode, 0);
        ExpectOnlyTodayDiffered(replayed.errors, whole);
        CompareWithGolden(name + ".out", expectedOut, MaskConsole(replayed.output, whole), true);
    }
}

// The reader's edge cases: each hand-made trace NAME.trace of
// tests/golden/traces/ with its two reports, NAME.read and NAME.changes.
#ifndef _WIN32
TEST(GoldenTraces, ReportsMatchTheirFiles) {
    const fs::path folder = fs::path(QUILLON_GOLDEN_DIR) / "traces";
    std::vector<fs::path> traces;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".trace") traces.push_back(entry.path());
    }
    std::sort(traces.begin(), traces.end());
    ASSERT_GE(traces.size(), 8u);
    const std::string dir = MakeSessionDir();
    ASSERT_FALSE(dir.empty());
    for (const fs::path& trace : traces) {
        const std::string name = trace.stem().string();
        fs::copy_file(trace, fs::path(dir) / trace.filename());
        for (const char* report : {"read", "changes"}) {
            std::vector<std::string> arguments{trace.filename().string()};
            if (std::string(report) == "changes") arguments.insert(arguments.begin(), "--changes");
            const std::string file = "traces/" + name + "." + report;
            CompareWithGolden(file, ReadSessionFile(fs::path(QUILLON_GOLDEN_DIR) / file),
                              Transcript(shell_e2e::ReadTrace(dir, arguments)));
        }
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
#endif

INSTANTIATE_TEST_SUITE_P(Sessions, Golden, ::testing::ValuesIn(Sessions),
                         [](const auto& entry) { return std::string(entry.param.name); });

}  // namespace
