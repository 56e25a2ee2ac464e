// quillon-station: runs a job on an instrument without a person and reports
// the outcome as JSON with an exit code. The two programs (on the real pipe,
// on the virtual instrument) differ only in how they say why the instrument
// was not found.
#pragma once

#include <string>

// Why the instrument is not found: the verdict's number and words, and the
// whole report.
struct ProbeVerdict {
    int code = 0;
    std::string words;
    std::string report;
};
using ProbeFunction = ProbeVerdict (*)(int openResult);

int StationMain(int argc, char** argv, ProbeFunction probe);
