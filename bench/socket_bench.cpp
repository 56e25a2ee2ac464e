// The station's download job on 1, 2, 3 and 6 test sockets of the virtual
// instrument, side by side (quillon-station-sim --socket, one process per
// socket), each instrument at 1 ms per transfer. Printed for each: the
// elapsed time against one socket's, and the processor time of the station
// and its sockets' processes. Targets: three sockets in at most 1.05 x the
// time of one, six in at most 1.10 x.
//
// Usage: socket_bench [STATION]  (default: quillon-station-sim beside it)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t ImageDataBytes = 64 * 1024;
constexpr int Rounds = 3;  // the median of three runs is printed

// Six of the default instrument on ports 1-1 to 1-6 (its KDO board's
// bootloader waits 2 s to start and 1.5 s to erase), at 1 ms per transfer.
std::string Scenario() {
    std::string ports;
    for (int i = 1; i <= 6; ++i) {
        ports += std::string(i == 1 ? "" : ",\n") + R"(  {"port": "1-)" + std::to_string(i) +
                 R"(", "serial": "CM100)" + std::to_string(i) +
                 R"(", "instrument": {"latency_us": 1000}})";
    }
    return "{\"ports\": [\n" + ports + "]}";
}

std::string Image() {
    std::string bytes{'\x11', '\x22', '\x85', '\x01', '\x85', '\x01'};
    for (uint32_t i = 2; i < ImageDataBytes; ++i) bytes.push_back(static_cast<char>(i * 13 + 1));
    return bytes;
}

uint64_t ChildrenCpuUs() {
    struct rusage usage = {};
    getrusage(RUSAGE_CHILDREN, &usage);
    auto us = [](const timeval& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_usec);
    };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

// Runs the station on the first `sockets` ports; its exit code, the elapsed
// and the processor time in microseconds.
int Run(const std::string& station, const fs::path& folder, int sockets, uint64_t& elapsed,
        uint64_t& cpu) {
    std::vector<std::string> arguments = {station, "--logs", "logs"};
    for (int i = 1; i <= sockets; ++i) {
        arguments.push_back("--socket");
        arguments.push_back("S" + std::to_string(i) + "=1-" + std::to_string(i));
    }
    for (const char* word : {"download", "--board", "3", "--image", "image.bin"}) {
        arguments.emplace_back(word);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const uint64_t cpuBefore = ChildrenCpuUs();
    std::fflush(stdout);
    const uint64_t start = bench::NowUs();
    const pid_t child = fork();
    if (child == 0) {
        std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
        std::FILE* errors = std::freopen("/dev/null", "w", stderr);
        if (quiet == nullptr || errors == nullptr || chdir(folder.c_str()) != 0) _exit(126);
        execv(station.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    elapsed = bench::NowUs() - start;
    cpu = ChildrenCpuUs() - cpuBefore;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::error_code ignored;
    const fs::path beside = fs::absolute(fs::path(argv[0]), ignored).parent_path();
    const std::string station =
        argc > 1 ? std::string(argv[1]) : (beside / "quillon-station-sim").string();
    const fs::path folder = bench::ScratchFolder("socket-bench");
    bench::WriteFile(folder / "scenario.json", Scenario());
    bench::WriteFile(folder / "image.bin", Image());
    bench::SetEnvironment("DUCTRA_SIM_SCENARIO", (folder / "scenario.json").string());
    std::printf("download of a %u KiB image per socket, 1 ms per transfer, median of %d runs\n",
                ImageDataBytes / 1024, Rounds);
    std::printf("sockets  elapsed ms  x one socket  cpu ms  cpu / elapsed\n");
    double one = 0;
    for (const int sockets : {1, 2, 3, 6}) {
        std::vector<std::pair<uint64_t, uint64_t>> runs;
        for (int round = 0; round < Rounds; ++round) {
            uint64_t elapsed = 0, cpu = 0;
            const int code = Run(station, folder, sockets, elapsed, cpu);
            if (code != 0) {
                std::fprintf(stderr, "socket_bench: %d sockets: the station exited %d\n", sockets,
                             code);
                return 1;
            }
            runs.emplace_back(elapsed, cpu);
        }
        std::sort(runs.begin(), runs.end());
        const auto [elapsed, cpu] = runs[Rounds / 2];
        if (sockets == 1) one = static_cast<double>(elapsed);
        std::printf("%7d  %10.0f  %12.3f  %6.0f  %12.1f%%\n", sockets,
                    static_cast<double>(elapsed) / 1000.0, static_cast<double>(elapsed) / one,
                    static_cast<double>(cpu) / 1000.0,
                    100.0 * static_cast<double>(cpu) / static_cast<double>(elapsed));
    }
    fs::remove_all(folder, ignored);
    return 0;
}
