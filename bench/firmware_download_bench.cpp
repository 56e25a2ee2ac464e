// A 256 KiB image downloaded into a sensor board of the virtual instrument
// with 1 ms of latency on every transfer. The modeled floor is what the
// transfer cannot avoid: every transfer's latency plus the waits the board
// asks for (start, erase, restart). Printed: elapsed over floor, and the
// processor time the download used against its elapsed time: the waits
// sleep, so the job should use at most 5% of one core.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "firmware/firmware.h"
#include "terminal/console_io.h"

namespace {

// Per-transfer latency of the instrument; the first argument may replace it
// (0 shows what the program and the instrument cost on their own).
uint32_t LatencyUs = 1000;
constexpr uint32_t ImageDataBytes = 256 * 1024;
constexpr uint32_t StartWaitMs = 2000;  // within the believed range, used as reported
constexpr uint32_t EraseMs = 1500;

std::string Scenario() {
    return R"({"latency_us": )" + std::to_string(LatencyUs) + R"(,
 "devices": [
  {"address": 1, "name": "bench", "boards": [
    {"board": 0, "family": 202, "model": 2, "version": "0x1C85"},
    {"board": 3, "family": 5, "model": 2, "version": "0x0C91",
     "flash": {"block_size": 512, "capacity": 1048576,
               "enter_wait_ms": )" +
           std::to_string(StartWaitMs) + R"(, "erase_ms": )" + std::to_string(EraseMs) + R"(}}]},
  {"address": 2, "boards": [{"board": 0, "family": 200, "model": 1, "version": "0x0481"}]}]})";
}

std::string Image() {
    std::string bytes{'\x11', '\x22', '\x85', '\x01', '\x85', '\x01'};
    for (uint32_t i = 2; i < ImageDataBytes; ++i) bytes.push_back(static_cast<char>(i * 13 + 1));
    return bytes;
}

// Transfers of a clean download: one send and one receive for each exchange
// (disable, enter, attributes, erase, reset, enable, and a write and a read
// per block). Counted rather than taken from the wire log, whose writing
// would itself slow every transfer.
long ExpectedTransfers() {
    const long blocks = ImageDataBytes / 512;
    return 2 * (6 + 2 * blocks);
}

std::string ReadAll(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) LatencyUs = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const std::filesystem::path folder = bench::ScratchFolder("quillon-download-bench");
    std::filesystem::create_directories(folder / "firmware");
    bench::WriteFile(folder / "firmware" / "bench.bin", Image());
    bench::WriteFile(folder / "scenario.json", Scenario());
    bench::SetEnvironment("DUCTRA_SIM_SCENARIO", (folder / "scenario.json").string());
    bench::SetEnvironment("DUCTRA_SIM_WIRELOG", "");
    std::filesystem::current_path(folder);

    std::FILE* input = std::tmpfile();
    std::FILE* output = std::tmpfile();
    if (input == nullptr || output == nullptr) return 1;
    std::fputs("1\n3\n\n", input);  // the image, the board, the closing key
    std::rewind(input);
    SetConsoleStreams(input, output);
    if (bench::OpenLink() != 0) {
        std::printf("the virtual instrument did not open\n");
        return 1;
    }

    const uint64_t start = bench::NowUs();
    const uint64_t cpuStart = bench::CpuUs();
    DownloadFirmware();
    const uint64_t cpuUs = bench::CpuUs() - cpuStart;
    const uint64_t elapsedUs = bench::NowUs() - start;
    SetConsoleStreams(nullptr, nullptr);

    const std::string transcript = ReadAll(output);
    // A retried read-back ("$") would add transfers the count does not hold.
    const bool completed =
        transcript.find("  Firmware download successful.\n") != std::string::npos &&
        transcript.find('$') == std::string::npos;
    const long transfers = ExpectedTransfers();
    const double floorMs =
        static_cast<double>(transfers) * LatencyUs / 1000.0 + StartWaitMs + EraseMs + StartWaitMs;
    const double elapsedMs = static_cast<double>(elapsedUs) / 1000.0;
    std::printf("image: %u data bytes in 512-byte blocks, latency %u us per transfer\n",
                ImageDataBytes, LatencyUs);
    std::printf("transfers: %ld  waits: %u ms  completed: %s\n", transfers,
                StartWaitMs + EraseMs + StartWaitMs, completed ? "yes" : "NO");
    std::printf("elapsed: %.1f ms  modeled floor: %.1f ms  ratio: %.4f  (target <= 1.01)\n",
                elapsedMs, floorMs, elapsedMs / floorMs);
    std::printf(
        "cpu time: %.1f ms of %.1f ms elapsed: %.1f%%  (target <= 5%%)\n",
        static_cast<double>(cpuUs) / 1000.0, elapsedMs,
        elapsedUs > 0 ? 100.0 * static_cast<double>(cpuUs) / static_cast<double>(elapsedUs) : 0.0);
    std::printf(
        "time beyond the floor: %.1f ms, %.1f us per transfer\n", elapsedMs - floorMs,
        transfers > 0 ? (elapsedMs - floorMs) * 1000.0 / static_cast<double>(transfers) : 0.0);

    std::fclose(input);
    std::fclose(output);
    std::filesystem::current_path(folder.parent_path());
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return completed ? 0 : 1;
}
