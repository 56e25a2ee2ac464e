// The writer of ductra-probe's report, shared by the two platforms' surveys.
#pragma once

#include "probe/probe.h"

namespace ductra {

// Starts a report into `sink` with the program's first line.
void BeginReport(OutputSink sink);
// Prints one piece of the report.
void Say(const char* format, ...) DUCTRA_PRINTF_FORMAT;
// Prints the next step for a verdict whose advice is the same on every
// platform: ready, in use, gone, without pipes, and a refusal other than
// the account's permission.
void SayNextStep(Verdict verdict);
// Prints the verdict line that ends the report and returns its exit code.
int Conclude(Verdict verdict);

}  // namespace ductra
