// The count of a run's instruments by outcome, for the summary line a
// repeated run ends with (per socket and in all with test sockets).
#pragma once

#include <string>
#include <utility>
#include <vector>

struct OutcomeTally {
    long instruments = 0;
    long done = 0;                                    // done on their run: the first pass
    std::vector<std::pair<std::string, long>> kinds;  // each failure's words, in order seen
};

// Counts one instrument: done, or a failure of the kind the words name.
void CountOutcome(OutcomeTally& tally, bool done, const std::string& failureWords);
// Adds another tally's counts.
void AddTally(OutcomeTally& into, const OutcomeTally& other);
// "3 instruments, 2 done, 1 verify failure; first-pass yield 66%", or "no instrument".
std::string TallyWords(const OutcomeTally& tally);
