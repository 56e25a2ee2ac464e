// quillon-trace [--changes] FILE: reads a trace that DUCTRA_TRACE recorded.
// quillon-trace --version: the release it belongs to.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "trace/report.h"
#include "usbpipe/trace/trace_format.h"

namespace {

constexpr const char* Usage =
    "usage: quillon-trace [--changes] FILE\n"
    "       quillon-trace --version\n"
    "  FILE       a trace recorded with DUCTRA_TRACE=FILE\n"
    "  --changes  only the service record: what was written to which board,\n"
    "             and each firmware download\n";

}  // namespace

int main(int argc, char** argv) {
    TraceReport report = TraceReport::Exchanges;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("quillon-trace %s\n", QUILLON_RELEASE);
            return 0;
        }
        if (argument == "--changes") {
            report = TraceReport::Changes;
        } else if (path == nullptr && (argument.empty() || argument[0] != '-')) {
            path = argv[i];
        } else {
            std::fputs(Usage, stderr);
            return 2;
        }
    }
    if (path == nullptr) {
        std::fputs(Usage, stderr);
        return 2;
    }
    std::string text;
    if (!ductra::ReadWholeFile(path, text)) {
        std::fprintf(stderr, "quillon-trace: cannot read %s: %s\n", path, std::strerror(errno));
        return 2;
    }
    // Nothing to read is said, not passed over in silence: the trace may
    // have been emptied, or the wrong file named.
    if (text.empty()) {
        std::fprintf(stderr, "quillon-trace: %s: the file is empty, it holds no trace\n", path);
        return 1;
    }
    return ReadTrace(text, path, report, stdout, stderr);
}
