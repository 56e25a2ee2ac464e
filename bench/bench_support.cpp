#include "bench_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>

#include "link/link_state.h"
#include "protocol/commands.h"
#include "usbpipe/ductra.h"

namespace bench {

void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

std::filesystem::path ScratchFolder(const std::string& stem) {
    std::random_device random;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(random()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint64_t CpuUs() {
#if defined(_WIN32)
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
    auto us = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10;
    };
    return us(kernel) + us(user);
#else
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
#endif
}

uint64_t NowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

int32_t OpenLink() {
    const int32_t opened = DuctraOpen();
    DuctraChatty(1);
    DeviceAddress = AddressSonde;
    ReceiveTimeout = WorkingReceiveTimeoutMs;
    LinkQuiet = 1;
    return opened;
}

}  // namespace bench
