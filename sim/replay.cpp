// The replay: the instrument answers from a recorded trace instead of from
// its devices. The calls of the trace's last session are walked in order:
// each request the program sends must be the next recorded request, byte for
// byte, and then gets the receives recorded after it (bytes, time-outs and
// failures alike); each open gets the next recorded open's result. A request
// that differs is reported once on standard error and answered by a time-out;
// the walk goes on past it, so that a single different request (a date
// stamped today) leaves the rest of the session in step. An open where the
// trace holds none is reported the same way (the first difference only) and
// succeeds, as the instrument's open does.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "usbpipe/trace/trace_format.h"
#include "usbpipe/trace/trace_writer.h"

namespace Sim {

namespace {

struct RecordedCall {
    uint32_t line = 0;
    ductra::TraceEntry entry;
};

struct ReplayState {
    bool active = false;
    std::string path;
    bool samePlatform = false;  // the recorded system errors mean the same here
    std::vector<RecordedCall> calls;
    std::size_t next = 0;
    uint32_t requests = 0;    // sent by the program so far
    uint32_t opens = 0;       // made by the program so far
    bool reported = false;    // a divergence has been reported
    bool answerLost = false;  // the last request differed: its receives time out
};

ReplayState& Replay() {
    static ReplayState state;
    return state;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string text;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, text.empty() ? "%02X" : " %02X", b);
        text += pair;
    }
    return text;
}

bool NextIs(ductra::TraceCall call) {
    const ReplayState& r = Replay();
    return r.next < r.calls.size() && r.calls[r.next].entry.call == call;
}

// Receives recorded for an earlier request that the program did not make
// are passed over, as a send or close throws away what is left in the pipe.
void PassOverAnswers() {
    ReplayState& r = Replay();
    while (NextIs(ductra::TraceCall::Receive)) ++r.next;
    r.answerLost = false;
}

ReplayCall FromEntry(const ductra::TraceEntry& entry) {
    ReplayCall call;
    call.result = entry.result;
    call.hasError = entry.hasError && Replay().samePlatform;
    call.error = entry.error;
    return call;
}

ReplayCall TimeOut() {
    ReplayCall call;
    call.result = -1;
    return call;
}

}  // namespace

int ReplayLoad(const char* path) {
    ReplayState& r = Replay();
    r = ReplayState{};
    if (path == nullptr || *path == '\0') return 0;
    r.path = path;
    std::string text;
    if (!ductra::ReadWholeFile(path, text)) {
        std::fprintf(stderr, "ductra-sim: replay %s: expected a readable trace file (%s)\n", path,
                     std::strerror(errno));
        return 1;
    }

    // Only the last session of the file is replayed; the damage reported is
    // that session's. A session of another format version before it does
    // not matter; one that is the last stops the replay.
    bool header = false;
    uint32_t unknownLine = 0;  // the header of the last session, when of another version
    int unknownVersion = 0;
    std::vector<std::string> damage;
    for (const ductra::TraceTextLine& text_line : ductra::SplitTraceText(text)) {
        ductra::TraceLine line;
        std::string problem;
        const ductra::TraceLineStatus status =
            text_line.cutOff ? ductra::TraceLineStatus::Damaged
                             : ductra::ParseTraceLine(text_line.text, line, problem);
        if (text_line.cutOff) problem = "cut off (no line end)";
        if (status == ductra::TraceLineStatus::UnknownVersion) {
            header = true;
            unknownLine = text_line.number;
            unknownVersion = line.header.version;
            r.calls.clear();
            damage.clear();
            continue;
        }
        if (status == ductra::TraceLineStatus::Damaged) {
            // A damaged header still starts a session.
            if (line.isHeader) {
                header = true;
                unknownLine = 0;
                r.samePlatform = false;
                r.calls.clear();
                damage.clear();
            }
            damage.push_back("line " + std::to_string(text_line.number) + ": " + problem);
        } else if (line.isHeader) {
            header = true;
            unknownLine = 0;
            r.samePlatform = line.header.platform == ductra::TracePlatformName();
            r.calls.clear();
            damage.clear();
        } else {
            r.calls.push_back({text_line.number, std::move(line.entry)});
        }
    }
    if (!header) {
        std::fprintf(stderr, "ductra-sim: replay %s: no trace header in the file\n", path);
        return 1;
    }
    if (unknownLine != 0) {
        std::fprintf(stderr,
                     "ductra-sim: replay %s line %u: trace format version %d, this instrument "
                     "replays version %d\n",
                     path, unknownLine, unknownVersion, ductra::TraceFormatVersion);
        r.calls.clear();
        return 1;
    }
    for (const std::string& d : damage) {
        std::fprintf(stderr, "ductra-sim: replay %s %s; skipped\n", path, d.c_str());
    }
    r.active = true;
    return 0;
}

bool Replaying() {
    return Replay().active;
}

namespace {

// What the trace holds at the walk's position, for a report of a difference.
std::string Holds() {
    const ReplayState& r = Replay();
    if (r.next >= r.calls.size()) return "no further call";
    const RecordedCall& call = r.calls[r.next];
    std::string what;
    switch (call.entry.call) {
        case ductra::TraceCall::Open:
            what = "an open";
            break;
        case ductra::TraceCall::Send:
            what = Hex(call.entry.bytes);
            break;
        case ductra::TraceCall::Receive:
            what = "a receive";
            break;
        case ductra::TraceCall::Close:
            what = "a close";
            break;
    }
    return what + " (line " + std::to_string(call.line) + ")";
}

}  // namespace

ReplayCall ReplayOpen() {
    PassOverAnswers();
    ReplayState& r = Replay();
    ++r.opens;
    if (NextIs(ductra::TraceCall::Open)) return FromEntry(r.calls[r.next++].entry);
    if (!r.reported) {
        r.reported = true;
        std::fprintf(stderr,
                     "ductra-sim: replay %s: open %u differs from the trace: the trace holds %s, "
                     "came an open; it succeeds\n",
                     r.path.c_str(), r.opens, Holds().c_str());
    }
    return ReplayCall{};
}

void ReplayClose() {
    PassOverAnswers();
    ReplayState& r = Replay();
    if (NextIs(ductra::TraceCall::Close)) ++r.next;
}

ReplayCall ReplaySend(std::span<const uint8_t> frame) {
    PassOverAnswers();
    ReplayState& r = Replay();
    ++r.requests;
    const bool recorded = NextIs(ductra::TraceCall::Send);
    if (recorded) {
        const RecordedCall& call = r.calls[r.next];
        const std::vector<uint8_t>& bytes = call.entry.bytes;
        if (bytes.size() == frame.size() && std::equal(bytes.begin(), bytes.end(), frame.begin())) {
            ++r.next;
            return FromEntry(call.entry);
        }
    }
    if (!r.reported) {
        r.reported = true;
        const std::string holds = recorded ? Hex(r.calls[r.next].entry.bytes) + " (line " +
                                                 std::to_string(r.calls[r.next].line) + ")"
                                           : std::string("no further request");
        std::fprintf(stderr,
                     "ductra-sim: replay %s: request %u differs from the trace: the trace holds "
                     "%s, came %s; answered by a time-out\n",
                     r.path.c_str(), r.requests, holds.c_str(), Hex(frame).c_str());
    }
    if (recorded) ++r.next;
    r.answerLost = true;
    return ReplayCall{};
}

ReplayCall ReplayReceive(int32_t capacity, Bytes& bytes) {
    ReplayState& r = Replay();
    bytes.clear();
    if (r.answerLost || !NextIs(ductra::TraceCall::Receive)) return TimeOut();
    ductra::TraceEntry& entry = r.calls[r.next].entry;
    const ReplayCall call = FromEntry(entry);
    if (call.result != 0) {
        ++r.next;
        return call;
    }
    // A smaller read than the recorded one takes the first bytes; the rest
    // waits for the next receive, as in the pipe.
    const std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    const std::size_t take = entry.bytes.size() < room ? entry.bytes.size() : room;
    bytes.assign(entry.bytes.begin(), entry.bytes.begin() + static_cast<std::ptrdiff_t>(take));
    if (take < entry.bytes.size()) {
        entry.bytes.erase(entry.bytes.begin(),
                          entry.bytes.begin() + static_cast<std::ptrdiff_t>(take));
    } else {
        ++r.next;
    }
    return call;
}

}  // namespace Sim
