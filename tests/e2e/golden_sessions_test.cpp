// Golden sessions: whole quillon-sim sessions whose console output and wire
// log are compared byte for byte with reviewed files, tests/golden/NAME.out
// and NAME.wire. Together they run every command of every menu. A session
// whose output differs writes it to golden-new/ in the build tree, from
// where scripts/update_golden.sh copies it after a deliberate change.
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
    const char* scenario;  // a ready-made scenario of sim/scenarios; "" for the default
    const char* image;     // the one image in the session's firmware folder, or ""
    int imageDataBytes;    // its length less the 4 header bytes
    const char* input;
};

const GoldenSession Sessions[] = {
    {"sensor_boards", "", "kdo.bin", 3 * 256 + 100,
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
     "dl\n1\n3\n\n"  // three blocks and a rest that is not sent
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
     "q\n"},
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
// the first differing line and writes the text to golden-new/ in the build tree.
void CompareWithGolden(const std::string& file, const std::string& expected,
                       const std::string& actual) {
    if (actual == expected) return;
    std::size_t line = 1;
    for (std::size_t i = 0; i < expected.size() && i < actual.size() && expected[i] == actual[i];
         ++i) {
        if (expected[i] == '\n') ++line;
    }
    const fs::path written = fs::path(QUILLON_GOLDEN_NEW_DIR) / file;
    fs::create_directories(written.parent_path());
    std::ofstream(written, std::ios::binary) << actual;
    ADD_FAILURE() << "tests/golden/" << file << " differs first at line " << line
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

class Golden : public ::testing::TestWithParam<GoldenSession> {};

TEST_P(Golden, SessionMatchesItsFiles) {
    const GoldenSession& session = GetParam();
    SessionOptions options;
    options.input = session.input;
    if (*session.scenario != '\0') {
        options.scenarioJson = ReadSessionFile(fs::path(QUILLON_SCENARIO_DIR) /
                                               (std::string(session.scenario) + ".json"));
        ASSERT_FALSE(options.scenarioJson.empty()) << session.scenario;
    }
    options.env["TZ"] = "UTC";
    options.workDir = MakeSessionDir();
    options.timeoutSeconds = 300;
    ASSERT_FALSE(options.workDir.empty());
    const std::string image = session.image;
    if (!image.empty()) {
        fs::create_directory(fs::path(options.workDir) / "firmware");
        WriteImage(fs::path(options.workDir) / "firmware" / image, session.imageDataBytes);
    }

    const auto start = static_cast<uint32_t>(std::time(nullptr) - DeviceEpoch);
    const SessionResult result = RunSession(options);
    const Clock clock{start, static_cast<uint32_t>(std::time(nullptr) - DeviceEpoch)};
    std::error_code ignored;
    fs::remove_all(options.workDir, ignored);

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
}

INSTANTIATE_TEST_SUITE_P(Sessions, Golden, ::testing::ValuesIn(Sessions),
                         [](const auto& entry) { return std::string(entry.param.name); });

}  // namespace
