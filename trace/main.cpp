// quillon-trace [--changes] FILE: reads a trace that DUCTRA_TRACE recorded.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "trace/report.h"

namespace {

constexpr const char* Usage =
    "usage: quillon-trace [--changes] FILE\n"
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
    std::FILE* file = std::fopen(path, "rb");
    std::string text;
    if (file != nullptr) {
        char chunk[65536];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, n);
    }
    if (file == nullptr || std::ferror(file) != 0) {
        std::fprintf(stderr, "quillon-trace: cannot read %s: %s\n", path, std::strerror(errno));
        if (file != nullptr) std::fclose(file);
        return 2;
    }
    std::fclose(file);
    return ReadTrace(text, path, report, stdout, stderr);
}
