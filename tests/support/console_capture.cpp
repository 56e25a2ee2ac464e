// Scripted keyboard, captured screen and a fake millisecond clock.
#include "support/console_capture.h"

#include <cstdio>
#include <stdexcept>

#if defined(_WIN32)
#include <process.h>

#include <filesystem>
#include <string>
#endif

#include "terminal/console_io.h"
#include "terminal/platform.h"

namespace {

[[noreturn]] void ThrowEndOfInput() {
    throw EndOfInputReached{};
}

// Temporary files rather than memory streams: they exist on every runtime,
// the Windows one under wine included. The Windows runtime's tmpfile() names
// its files from a per-process counter in one shared folder, so test programs
// running side by side collide; there each file gets a name of its own and is
// deleted when closed ("D").
FILE* OpenScratchFile() {
#if defined(_WIN32)
    static unsigned serial = 0;
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("quillon-test-" + std::to_string(_getpid()) + "-" + std::to_string(serial++) + ".tmp");
    FILE* file = _wfopen(path.c_str(), L"w+bD");
#else
    FILE* file = std::tmpfile();
#endif
    if (file == nullptr) throw std::runtime_error("cannot create a temporary file");
    return file;
}

uint64_t FakeMilliseconds = 0;

uint64_t TickFakeClock() {
    return FakeMilliseconds++;
}

}  // namespace

ConsoleCapture::ConsoleCapture(std::string_view input) {
    FILE* in = OpenScratchFile();
    FILE* out = OpenScratchFile();
    if (!input.empty()) std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    in_ = in;
    out_ = out;
    SetConsoleStreams(in, out);
    SetEndOfInputHandler(&ThrowEndOfInput);
}

ConsoleCapture::~ConsoleCapture() {
    SetConsoleStreams(nullptr, nullptr);
    SetEndOfInputHandler(nullptr);
    std::fclose(static_cast<FILE*>(in_));
    std::fclose(static_cast<FILE*>(out_));
}

std::string ConsoleCapture::Output() {
    FILE* out = static_cast<FILE*>(out_);
    std::fflush(out);
    std::rewind(out);
    std::string text;
    char chunk[512];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, out)) > 0) text.append(chunk, got);
    std::fseek(out, 0, SEEK_END);
    return text;
}

FakeClock::FakeClock() {
    FakeMilliseconds = 0;
    SetClockSource(&TickFakeClock);
}

FakeClock::~FakeClock() {
    SetClockSource(nullptr);
}

uint64_t FakeClock::Now() {
    return FakeMilliseconds;
}
