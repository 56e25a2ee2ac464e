// quillon-trace's reading of a trace file over arbitrary file contents, in
// both reports: every line is read or named as damaged, no byte beyond the
// text is looked at, and the result is one of the three the program returns.
#include <cstdio>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "trace/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static std::FILE* const discarded = std::fopen("/dev/null", "w");
    FuzzBytes bytes(data, size);
    const TraceReport report =
        (bytes.Byte() & 1) != 0 ? TraceReport::Changes : TraceReport::Exchanges;
    const std::string_view text = bytes.Take(bytes.Left());
    const int status = ReadTrace(text, "fuzz", report, discarded, discarded);
    Require(status >= 0 && status <= 2);
    return 0;
}
