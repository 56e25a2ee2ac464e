// quillon-station: runs a job on an instrument without a person and reports
// the outcome as JSON with an exit code. The two programs (on the real pipe,
// on the virtual instrument) differ only in how they say why the instrument
// was not found.
#pragma once

#include <string>
#include <vector>

// Why the instrument is not found: the verdict's number and words, and the
// whole report.
struct ProbeVerdict {
    int code = 0;
    std::string words;
    std::string report;
};
using ProbeFunction = ProbeVerdict (*)(int openResult);

// An instrument attached, as a survey of the bus finds it: its USB port
// chain and its USB serial-number string ("" when it has none).
struct AttachedInstrument {
    std::string port;
    std::string usbSerial;
};
// Every instrument attached, in the order the library's search finds them.
using SurveyFunction = std::vector<AttachedInstrument> (*)();

int StationMain(int argc, char** argv, ProbeFunction probe, SurveyFunction survey);
