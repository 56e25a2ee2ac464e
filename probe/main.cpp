// ductra-probe: tells the technician whether the instrument is found, why
// not, and what to do next. The report and its verdict are the library's
// survey (usbpipe/ductra_probe.h); this is its door to the console.
// `ductra-probe --version` names the release it belongs to; `--list` and
// `--json` list every instrument found instead of the report.
#include <cstdio>
#include <cstring>

#include "probe/probe.h"

#if defined(_WIN32)
#include <windows.h>

#include <string>
#endif

namespace {

// The report is UTF-8. A Windows console gets it as wide text, so that a
// system error text in the workstation's language shows as it should; a pipe
// or a file gets the bytes.
void Write(const char* text, std::size_t length) {
#if defined(_WIN32)
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (length > 0 && GetConsoleMode(console, &mode)) {
        const int size = static_cast<int>(length);
        const int wide = MultiByteToWideChar(CP_UTF8, 0, text, size, nullptr, 0);
        std::wstring converted(static_cast<std::size_t>(wide > 0 ? wide : 0), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, text, size, converted.data(), wide);
        DWORD written = 0;
        WriteConsoleW(console, converted.data(), static_cast<DWORD>(converted.size()), &written,
                      nullptr);
        return;
    }
#endif
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ductra-probe %s\n", DUCTRA_PROBE_VERSION);
        return 0;
    }
    ductra::ProbeOutput output = ductra::ProbeOutput::kReport;
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) output = ductra::ProbeOutput::kList;
    if (argc == 2 && std::strcmp(argv[1], "--json") == 0) output = ductra::ProbeOutput::kJson;
    if (argc > 1 && output == ductra::ProbeOutput::kReport) {
        std::fprintf(stderr,
                     "%s: takes --list, --json or no arguments; it looks at the instrument's USB "
                     "connection and prints what it found (see ductra-probe(1)).\n",
                     argv[0]);
        return 64;
    }
    return ductra::RunProbe(Write, output);
}
