// The library surface: results, messages, the pipe's queue, the wire log and
// the trace file.
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "sim/sim.h"
#include "sim_support.h"
#include "tests/ductra/trace_lines.h"
#include "usbpipe/trace/trace_file.h"

using namespace SimTest;

namespace {

TEST(SimLibrary, VersionLinePrintedAlwaysAndResultDiffers) {
    ASSERT_EQ(DuctraSimRestart(nullptr, nullptr), 0);
    DuctraChatty(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(DuctraVersion(), 1100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DuctraVersion: 1104\r\n");
}

TEST(SimLibrary, OpenSpeaksOnlyWhileChatty) {
    ASSERT_EQ(DuctraSimRestart(nullptr, nullptr), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DuctraOpen success\r\n");

    EXPECT_EQ(DuctraChatty(1), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Only the low 8 bits count: 256 makes it chatty again.
    EXPECT_EQ(DuctraChatty(256), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(DuctraClose(), 0);
    EXPECT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DuctraOpen success\r\n");
}

TEST(SimLibrary, TransfersNeedAnOpenPipeAndABuffer) {
    ASSERT_EQ(DuctraSimRestart(nullptr, nullptr), 0);
    Bytes frame = Frame(1, 0x09);
    uint8_t buffer[1024];
    uint32_t count = 77;
    testing::internal::CaptureStdout();
    EXPECT_EQ(DuctraSend(frame.data(), 6, 10000), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DuctraSend Error: NO_VALID_HANDLER\r\nDuctraReceive Error: NO_VALID_HANDLER\r\n");
    EXPECT_EQ(count, 77u);

    DuctraChatty(1);
    ASSERT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(DuctraSend(nullptr, 6, 10000), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(DuctraReceive(nullptr, 1024, 2000, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, nullptr), DUCTRA_RESPONSE_NO_VALID_HANDLER);

    // Nothing pending: a time-out that leaves the count alone.
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(count, 77u);

    // Closing drops the queued answer; a closed pipe refuses transfers.
    EXPECT_EQ(DuctraSend(frame.data(), 6, 10000), 0);
    EXPECT_EQ(DuctraClose(), 0);
    EXPECT_EQ(DuctraClose(), 0);
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    ASSERT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
}

TEST(SimLibrary, ChattyTransfersPrintLikeTheRealPipe) {
    ASSERT_EQ(DuctraSimRestart(nullptr, nullptr), 0);
    ASSERT_EQ(DuctraOpen(), 0);
    Bytes frame = Frame(1, 0x02);
    uint8_t buffer[16];
    uint32_t count = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(DuctraSend(frame.data(), 6, 10000), 0);
    EXPECT_EQ(DuctraReceive(buffer, 16, 2000, &count), 0);
    EXPECT_EQ(DuctraReceive(buffer, 16, 0, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DuctraSend status: 6 bytes copied into pipe\r\n"
              "DuctraSend status: 6 bytes send \r\n"
              "DuctraReceive have 16 bytes to read\r\n"
              "DuctraReceive state: Start pipe read of 16 bytes\r\n"
              "DuctraReceive state: Read 6 bytes\r\n"
              "00 00 00 00 00 00 \n"
              "DuctraReceive have 16 bytes to read\r\n"
              "DuctraReceive state: Start pipe read of 16 bytes\r\n"
              "DuctraReceive Error: TIMEOUT_OCCUR\r\n");
}

TEST(SimLibrary, ASendDiscardsWhatIsStillPending) {
    ASSERT_EQ(Start(), 0);
    Bytes listing = Frame(1, 0x09);
    Bytes reset = Frame(1, 0x02);
    ASSERT_EQ(DuctraSend(listing.data(), 6, 10000), 0);
    ASSERT_EQ(DuctraSend(reset.data(), 6, 10000), 0);
    uint8_t buffer[1024];
    uint32_t count = 0;
    ASSERT_EQ(DuctraReceive(buffer, 1024, 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Hex("00 00 00 00 00 00"));
    EXPECT_EQ(DuctraReceive(buffer, 1024, 2000, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
}

TEST(SimLibrary, ASmallBufferTakesATransferInPieces) {
    ASSERT_EQ(Start(), 0);
    Bytes frame = Frame(1, 0x0A);
    ASSERT_EQ(DuctraSend(frame.data(), 6, 10000), 0);
    uint8_t buffer[1024];
    uint32_t count = 0;
    ASSERT_EQ(DuctraReceive(buffer, 10, 2000, &count), 0);
    EXPECT_EQ(count, 10u);
    ASSERT_EQ(DuctraReceive(buffer + 10, 1014, 2000, &count), 0);
    EXPECT_EQ(count, 26u);  // of 4 header + 20 name + "21C100457" + zero + 2 CRC
    ASSERT_EQ(DuctraReceive(buffer, 0, 2000, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
}

TEST(SimLibrary, WireLogHasOneLinePerFrameEachWay) {
    ASSERT_EQ(Start(), 0);
    Request(1, 0x82, {0, 0});
    Request(0, 0x09);                // broadcast: no answer
    Request(1, 0x04, {0x10, 0x0E});  // stay awake 3600 s
    std::string log = WireLog();
    std::string first = log.substr(0, log.find('\n'));
    EXPECT_EQ(first, "> 01 82 02 00 00 00 9B CE");
    std::size_t lines = 0;
    for (char ch : log) lines += ch == '\n';
    EXPECT_EQ(lines, 5u);
    EXPECT_NE(log.find("\n< 00 00 4C 00 CA 02 85 1C 32 31 43 31"), std::string::npos);
    EXPECT_NE(log.find("\n> 00 09 00 00 91 9E\n> 01 04 02 00 10 0E"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 20), "< 00 00 00 00 00 00\n");
}

TEST(SimLibrary, RestartFromTheEnvironment) {
    std::string scenario = TempPath("env.json");
    std::FILE* f = std::fopen(scenario.c_str(), "wb");
    std::fputs("{\"usb_device\": \"handheld\"}", f);
    std::fclose(f);
    std::string log = TempPath("env.log");
#if defined(_WIN32)
    _putenv_s("DUCTRA_SIM_SCENARIO", scenario.c_str());
    _putenv_s("DUCTRA_SIM_WIRELOG", log.c_str());
#else
    setenv("DUCTRA_SIM_SCENARIO", scenario.c_str(), 1);
    setenv("DUCTRA_SIM_WIRELOG", log.c_str(), 1);
#endif
    ASSERT_EQ(DuctraSimRestartFromEnvironment(), 0);
#if defined(_WIN32)
    _putenv_s("DUCTRA_SIM_SCENARIO", "");
    _putenv_s("DUCTRA_SIM_WIRELOG", "");
#else
    unsetenv("DUCTRA_SIM_SCENARIO");
    unsetenv("DUCTRA_SIM_WIRELOG");
#endif
    DuctraChatty(1);
    ASSERT_EQ(DuctraOpen(), 0);
    EXPECT_EQ(Payload(3, 0x82, {0, 0}).at(0), 201);  // the handheld answers
    EXPECT_EQ(Request(2, 0x82, {0, 0}), Bytes{});    // the module is not there
    EXPECT_EQ(ReadFile(log).substr(0, 20), "> 03 82 02 00 00 00 ");
}

// Three instruments placed on ports, told apart by how their open ends:
// DUCTRA_DEVICE chooses one; unset, the last one placed answers.
TEST(SimLibrary, DeviceChoiceTakesTheInstrumentOnThatPort) {
    const std::string scenario = R"({"ports": [
        {"port": "1-1", "serial": "CM1001", "instrument": {"open_result": -4}},
        {"port": "1-2", "serial": "CM1002", "instrument": {"open_result": -2}},
        {"port": "1-3.2"}]})";
    const struct {
        const char* choice;
        int32_t result;
    } rows[] = {{"", 0},
                {"port=1-1", -4},
                {"serial=CM1002", -2},
                {"port=1-3.2", 0},
                {"serial=CM1001", -4},
                {"port=1-3", -3},
                {"serial=CM1003", -3},
                {"serial=cm1001", -3},
                {"port=", -3}};
    ASSERT_EQ(Start(scenario), 0);
    DuctraChatty(1);
    for (const auto& row : rows) {
        ChooseDevice(row.choice);
        testing::internal::CaptureStderr();
        EXPECT_EQ(DuctraOpen(), row.result) << row.choice;
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(errors, std::string(row.choice) == "port="
                              ? "ductra-sim: DUCTRA_DEVICE=port=: expected port=BUS-PORT[.PORT...] "
                                "(such as port=1-4.2) or serial=TEXT\n"
                              : "");
        DuctraClose();
    }
    ChooseDevice("");
}

TEST(SimLibrary, DefaultScenarioIsTheFileInTheSourceTree) {
    std::string file = ReadFile(SIM_DEFAULT_SCENARIO_FILE);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(std::string(Sim::DefaultScenarioText()), file);
}

// A replayed failure gives the system error the trace recorded only when it
// was recorded on this platform: another platform's number means something
// else here, and the instrument's own time-out error is given instead.
TEST(SimReplay, RecordedSystemErrorOnlyFromThisPlatform) {
    const std::string here = ductra::TracePlatformName();
    const std::string path = ::testing::TempDir() + "replay-platform.trace";
#if defined(_WIN32)
    const int own = 121;
#else
    const int own = ETIMEDOUT;
#endif
    for (const std::string& platform :
         {here, std::string(here == "windows" ? "linux" : "windows")}) {
        SCOPED_TRACE(platform);
        std::ofstream(TracePath(path), std::ios::binary)
            << "ductra-trace 1 library=ductra/1.1.0 platform=" << platform
            << " start=2026-03-02T08:15:00.250Z\n0.004 open result=0\n"
               "0.038 send timeout=10000 length=6 result=0 > 01 09 00 00 25 E8\n"
               "2000.100 receive capacity=1024 timeout=2000 result=-1 error=5\n2000.200 close "
               "result=0\n";
        ASSERT_EQ(DuctraSimRestart(nullptr, nullptr), 0);
        ASSERT_EQ(Sim::ReplayLoad(path.c_str()), 0);
        DuctraChatty(1);
        ASSERT_EQ(DuctraOpen(), 0);
        uint8_t frame[] = {0x01, 0x09, 0x00, 0x00, 0x25, 0xE8};
        ASSERT_EQ(DuctraSend(frame, sizeof frame, 10000), 0);
        uint8_t buffer[1024];
        uint32_t count = 0;
        EXPECT_EQ(DuctraReceive(buffer, sizeof buffer, 2000, &count), -1);
        EXPECT_EQ(ductra::TraceSystemError(), platform == here ? 5 : own);
        DuctraClose();
    }
    ASSERT_EQ(DuctraSimRestart(nullptr, nullptr), 0);
    std::remove(path.c_str());
}

#if !defined(_WIN32)
// A trace appended to a file whose last line a killed writer cut off starts
// on a line of its own; a traced program's child that exits leaves the trace
// to its parent; and a file-size limit stops the trace with one line, as a
// full disk would, while the program goes on (SIGXFSZ left at its default).
TEST(TraceFile, CutLineForkedChildAndFullDisk) {
    const std::string base = ::testing::TempDir() + "trace-" + std::to_string(getpid());
    const std::string path = base + "-fork.trace";
    std::ofstream(path, std::ios::binary) << "0.500 receive capac";
    uint8_t bytes[200];
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<uint8_t>(i);
    const uint32_t count = sizeof bytes;
    ductra::TraceRestart(path.c_str());
    ductra::TraceReceive(bytes, 1024, 2000, 0, &count);
    const pid_t child = fork();
    if (child == 0) {
        ductra::TraceClose(0);
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int i = 0; i < 100; ++i) ductra::TraceReceive(bytes, 1024, 2000, 0, &count);
    ductra::TraceRestart(nullptr);
    const std::vector<std::string> lines = TraceLinesWithoutTimes(path);
    ASSERT_EQ(lines.size(), 104u);
    EXPECT_EQ(lines[0], "receive capac");
    EXPECT_EQ(lines[1].rfind("ductra-trace 1 library=ductra-sim/", 0), 0u) << lines[1];
    EXPECT_EQ(lines[3], "close result=0");
    for (std::size_t i = 4; i < lines.size(); ++i)
        ASSERT_EQ(lines[i], lines[2]) << "line " << i + 1;
    std::remove(path.c_str());

    constexpr rlim_t kLimit = 64 * 1024;
    const std::string full = base + "-full.trace";
    const std::string errors = base + "-full.errors";
    std::remove(full.c_str());
    const pid_t limited = fork();
    if (limited == 0) {
        const rlimit limit{kLimit, kLimit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || !std::freopen(errors.c_str(), "w", stderr)) {
            _exit(2);
        }
        ductra::TraceRestart(full.c_str());
        for (int i = 0; i < 200; ++i) ductra::TraceReceive(bytes, 1024, 2000, 0, &count);
        ductra::TraceClose(0);
        std::fflush(stderr);
        _exit(0);
    }
    ASSERT_EQ(waitpid(limited, &status, 0), limited);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string said;
    std::getline(std::ifstream(errors), said, '\0');
    EXPECT_EQ(said, "ductra-sim: trace " + full + ": File too large; tracing stops\n");
    std::string text;
    std::getline(std::ifstream(full, std::ios::binary), text, '\0');
    // Only whole lines: the one that would have passed the limit is not begun.
    const std::vector<std::string> kept = TraceLinesWithoutTimes(full);
    ASSERT_GT(kept.size(), 2u);
    EXPECT_GT(text.size() + kept[1].size() + 10, kLimit);
    EXPECT_EQ(text.back(), '\n');
    for (std::size_t i = 2; i < kept.size(); ++i) ASSERT_EQ(kept[i], kept[1]) << "line " << i + 1;
    std::remove(full.c_str());
    std::remove(errors.c_str());
}
#endif

}  // namespace
