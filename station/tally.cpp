#include "station/tally.h"

namespace {

void AddKind(OutcomeTally& tally, const std::string& words, long count) {
    for (auto& [kind, total] : tally.kinds) {
        if (kind == words) {
            total += count;
            return;
        }
    }
    tally.kinds.emplace_back(words, count);
}

}  // namespace

void CountOutcome(OutcomeTally& tally, bool done, const std::string& failureWords) {
    ++tally.instruments;
    if (done) {
        ++tally.done;
    } else {
        AddKind(tally, failureWords, 1);
    }
}

void AddTally(OutcomeTally& into, const OutcomeTally& other) {
    into.instruments += other.instruments;
    into.done += other.done;
    for (const auto& [kind, count] : other.kinds) AddKind(into, kind, count);
}

std::string TallyWords(const OutcomeTally& tally) {
    if (tally.instruments == 0) return "no instrument";
    std::string words = std::to_string(tally.instruments) + " instrument" +
                        (tally.instruments == 1 ? "" : "s") + ", " + std::to_string(tally.done) +
                        " done";
    for (const auto& [kind, count] : tally.kinds)
        words += ", " + std::to_string(count) + " " + kind;
    return words + "; first-pass yield " + std::to_string(tally.done * 100 / tally.instruments) +
           "%";
}
