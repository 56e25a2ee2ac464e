// Fault injection: which faults of the scenario catch a request, and how a
// caught answer is mangled on its way into the pipe.
#include "sim/sim.h"

namespace Sim {

namespace {

bool Matches(const Fault& f, uint8_t address, uint8_t command, std::span<const uint8_t> payload) {
    if (f.address && *f.address != address) return false;
    if (f.command && *f.command != command) return false;
    if (f.board && (payload.empty() || payload[0] != *f.board)) return false;
    return true;
}

// The n-th match counts from 1; `times` matches are caught from there (0: all).
bool Active(const Fault& f) {
    if (f.matched < f.occurrence) return false;
    return f.times == 0 || f.matched - f.occurrence < f.times;
}

template <typename T>
void Merge(std::optional<T>& into, const std::optional<T>& from) {
    if (from) into = from;
}

void MergeCounts(CountOverrides& into, const CountOverrides& from) {
    Merge(into.devices, from.devices);
    Merge(into.components, from.components);
    Merge(into.setups, from.setups);
    Merge(into.inputs, from.inputs);
    Merge(into.calibrations, from.calibrations);
    Merge(into.lastCal, from.lastCal);
    Merge(into.steps, from.steps);
}

}  // namespace

AppliedFaults MatchFaults(Scenario& scenario, uint8_t address, uint8_t command,
                          std::span<const uint8_t> payload) {
    AppliedFaults out;
    for (Fault& f : scenario.faults) {
        if (!Matches(f, address, command, payload)) continue;
        ++f.matched;
        if (!Active(f)) continue;
        out.any = true;
        Merge(out.status, f.status);
        out.timeout = out.timeout || f.timeout;
        out.losePipe = out.losePipe || f.losePipe;
        Merge(out.payload, f.payload);
        MergeCounts(out.counts, f.counts);
        Merge(out.readbackOffset, f.readbackOffset);
        Merge(out.enterWaitMs, f.enterWaitMs);
        Merge(out.blockSize, f.blockSize);
        Merge(out.eraseMs, f.eraseMs);
        out.badCrc = out.badCrc || f.badCrc;
        out.extra.insert(out.extra.end(), f.extra.begin(), f.extra.end());
        Merge(out.shortLength, f.shortLength);
        Merge(out.splitAt, f.splitAt);
    }
    return out;
}

std::vector<Bytes> ShapeTransfers(Bytes frame, const AppliedFaults& faults) {
    if (faults.badCrc && frame.size() >= 2) {
        frame[frame.size() - 2] ^= 0xFF;
        frame[frame.size() - 1] ^= 0xFF;
    }
    frame.insert(frame.end(), faults.extra.begin(), faults.extra.end());
    if (faults.shortLength && *faults.shortLength < frame.size()) frame.resize(*faults.shortLength);
    if (faults.splitAt && *faults.splitAt < frame.size()) {
        Bytes rest(frame.begin() + *faults.splitAt, frame.end());
        frame.resize(*faults.splitAt);
        return {std::move(frame), std::move(rest)};
    }
    return {std::move(frame)};
}

}  // namespace Sim
