// The virtual instrument's pipe, behind the six exports that the USB library
// shares with it (usbpipe/ductra_exports.cpp). The pipe is a queue of
// transfers: a send discards what is still queued (as the real pipe's abort
// and flush do) and queues the answer; a receive delivers one transfer.
// While replaying a trace (DUCTRA_SIM_REPLAY) the answers come from the trace
// instead. Messages are the real library's, silenced by the same switch, and
// the calls are traced by the same exports (DUCTRA_TRACE).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "sim/sim.h"
#include "usbpipe/ductra.h"
#include "usbpipe/pipe_backend.h"
#include "usbpipe/trace/trace_format.h"
#include "usbpipe/trace/trace_writer.h"

// The name the virtual instrument's trace lines and trace messages carry.
const char ductra::TraceLibraryName[] = "ductra-sim";
const char ductra::TraceLibraryVersion[] = DUCTRA_LIBRARY_VERSION;

namespace {

struct PipeState {
    bool started = false;
    int loadResult = 0;
    Sim::Scenario scenario;
    bool open = false;
    bool everOpened = false;
    std::size_t opens = 0;
    std::deque<Sim::Bytes> pending;
    // The next instruments of the scenario: the one in use, removed, or the
    // place where the next one is attached.
    enum class Presence : uint8_t { Attached, Removed, Awaited } presence = Presence::Attached;
    std::vector<std::string> later;
    std::size_t nextLater = 0;
    // The instruments placed on ports, and the one in use (none yet: npos).
    std::vector<Sim::Scenario::Placement> ports;
    std::size_t placed = static_cast<std::size_t>(-1);
};

PipeState& Pipe() {
    static PipeState state;
    return state;
}

using ductra::Message;

// Records the system error the program reports after a failed exchange:
// errno, and on Windows the thread's last error as the real pipe leaves it.
void RecordError(int posixError, unsigned long windowsError) {
    errno = posixError;
#if defined(_WIN32)
    SetLastError(windowsError);
#else
    (void)windowsError;
#endif
}

// A transfer's latency, asleep until its deadline: no core is spent on it,
// at the price of the scheduler's slack (tens of microseconds) per transfer.
void Wait(uint32_t microseconds) {
    if (microseconds == 0) return;
    using Clock = std::chrono::steady_clock;
    std::this_thread::sleep_until(Clock::now() + std::chrono::microseconds(microseconds));
}

int Load(const char* scenarioPath) {
    PipeState& p = Pipe();
    std::string text;
    std::string name = "built-in default";
    if (scenarioPath != nullptr && *scenarioPath != 0) {
        name = scenarioPath;
        if (!ductra::ReadWholeFile(scenarioPath, text)) {
            std::fprintf(stderr, "ductra-sim: scenario %s: expected a readable file (%s)\n",
                         scenarioPath, std::strerror(errno));
            return 1;
        }
        if (text.empty()) {
            std::fprintf(stderr,
                         "ductra-sim: scenario %s: expected a JSON object, the file is empty\n",
                         scenarioPath);
            return 1;
        }
    }
    std::string error;
    if (Sim::LoadScenario(text, p.scenario, error) != 0) {
        std::fprintf(stderr, "ductra-sim: scenario %s: %s\n", name.c_str(), error.c_str());
        return 1;
    }
    return 0;
}

void Start() {
    if (!Pipe().started) DuctraSimRestartFromEnvironment();
}

// Leaves the system error of a failed replayed call as it was recorded, when
// it was recorded on this platform (otherwise the instrument's own stays).
void RecordReplayed(const Sim::ReplayCall& call) {
    if (!call.hasError) return;
#if defined(_WIN32)
    SetLastError(static_cast<unsigned long>(call.error));
#else
    errno = call.error;
#endif
}

// Hands the caller the bytes of one transfer (at most capacity; the caller
// then owns count of them) and logs and shows them.
void Deliver(const uint8_t* bytes, std::size_t n, uint8_t* buffer, uint32_t* count) {
    if (n > 0) std::memcpy(buffer, bytes, n);  // an empty transfer has no bytes at all
    Sim::WireLogLine('<', std::span<const uint8_t>(bytes, n));
    *count = static_cast<uint32_t>(n);
    Message("DuctraReceive state: Read %li bytes\r\n", static_cast<long>(n));
    for (std::size_t i = 0; i < n; ++i) Message("%.2X ", buffer[i]);
    Message("\n");
}

// An instrument of a scenario with next_instruments counts as removed when
// the program closes its pipe while its sonde sleeps (a station is done with
// it). The next open finds nothing; the one after finds the next instrument
// of the list, as a scenario file of its own would make it; after the last
// one, nothing is found any more. True when an instrument is attached.
bool Attached() {
    PipeState& p = Pipe();
    switch (p.presence) {
        case PipeState::Presence::Attached:
            return true;
        case PipeState::Presence::Removed:
            p.presence = PipeState::Presence::Awaited;
            return false;
        case PipeState::Presence::Awaited:
            break;
    }
    if (p.nextLater == p.later.size()) return false;
    std::string error;
    if (Sim::LoadScenario(p.later[p.nextLater++], p.scenario, error) != 0) return false;
    p.presence = PipeState::Presence::Attached;
    p.opens = 0;
    p.everOpened = false;
    p.pending.clear();
    return true;
}

// With instruments placed on ports, the open takes the one `choice` names
// (the last one placed when it names none, as a bus search keeps the last
// device found); false when none is placed there. The first open of a
// placed instrument attaches it fresh, with its own next instruments; a
// scenario without ports has its one instrument answer whatever is chosen.
bool Placed(const ductra::DeviceChoice& choice) {
    PipeState& p = Pipe();
    if (p.ports.empty()) return true;
    std::size_t found = p.ports.size();
    for (std::size_t i = 0; i < p.ports.size(); ++i) {
        if (ductra::ChoiceMatches(choice, p.ports[i].port, p.ports[i].serial)) found = i;
    }
    if (found == p.ports.size()) return false;
    if (found == p.placed) return true;
    std::string error;
    if (Sim::LoadScenario(p.ports[found].scenario, p.scenario, error) != 0) return false;
    p.placed = found;
    p.later = p.scenario.nextInstruments;
    p.nextLater = 0;
    p.presence = PipeState::Presence::Attached;
    p.opens = 0;
    p.everOpened = false;
    p.pending.clear();
    return true;
}

int32_t OpenPipe(const ductra::DeviceChoice& choice) {
    Start();
    PipeState& p = Pipe();
    int32_t result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND;
    if (p.loadResult == 0 && Sim::Replaying()) {
        const Sim::ReplayCall call = Sim::ReplayOpen();
        result = call.result;
        RecordReplayed(call);
    } else if (p.loadResult == 0 && (!Placed(choice) || !Attached())) {
        result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND;
    } else if (p.loadResult == 0) {
        const auto& results = p.scenario.openResults;
        if (p.opens < results.size())
            result = results[p.opens];
        else if (p.scenario.openResultRepeats && !results.empty())
            result = results.back();
        else
            result = DUCTRA_RESPONSE_SUCCESS;
        ++p.opens;
    }
    if (result != DUCTRA_RESPONSE_SUCCESS) {
        p.open = false;
        if (result == DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND)
            Message("DuctraOpen Error: NO_USB_ENDPOINTS_FOUND\r\n");
        else
            Message("DuctraOpen Error: NO_DEVICE_FOUND\r\n");
        return result;
    }
    p.open = true;
    if (!p.everOpened) {
        p.everOpened = true;
        for (const Sim::Bytes& t : p.scenario.waitingAtOpen) p.pending.push_back(t);
    }
    Message("DuctraOpen success\r\n");
    return DUCTRA_RESPONSE_SUCCESS;
}

// A send while replaying: the recorded result, whatever state the pipe is in.
int32_t SendReplayed(std::span<const uint8_t> frame) {
    const Sim::ReplayCall call = Sim::ReplaySend(frame);
    if (call.result == DUCTRA_RESPONSE_NO_VALID_HANDLER) {
        RecordError(ENODEV, 6 /* invalid handle */);
        RecordReplayed(call);
        Message("DuctraSend Error: NO_VALID_HANDLER\r\n");
        return call.result;
    }
    Sim::WireLogLine('>', frame);
    Message("DuctraSend status: %li bytes copied into pipe\r\n", static_cast<long>(frame.size()));
    if (call.result != DUCTRA_RESPONSE_SUCCESS) {
        RecordError(ETIMEDOUT, 121 /* semaphore time-out */);
        RecordReplayed(call);
        Message("DuctraSend Error: TIMEOUT_OCCUR\r\n");
        return call.result;
    }
    Message("DuctraSend status: %li bytes send \r\n", static_cast<long>(frame.size()));
    return DUCTRA_RESPONSE_SUCCESS;
}

int32_t SendFrame(uint8_t* buffer, uint32_t length, int32_t timeout) {
    (void)timeout;  // the instrument takes every frame at once
    Start();
    PipeState& p = Pipe();
    // Each exchange starts with a send, so an older, unrelated error never
    // shows after a failed exchange.
    RecordError(0, 0);
    if (Sim::Replaying() && buffer != nullptr) {
        p.pending.clear();
        return SendReplayed(std::span<const uint8_t>(buffer, length));
    }
    if (!p.open || buffer == nullptr) {
        RecordError(ENODEV, 6 /* invalid handle */);
        Message("DuctraSend Error: NO_VALID_HANDLER\r\n");
        return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    }
    p.pending.clear();
    std::span<const uint8_t> frame(buffer, length);
    Sim::WireLogLine('>', frame);
    Message("DuctraSend status: %li bytes copied into pipe\r\n", static_cast<long>(length));
    Wait(p.scenario.latencyUs);
    bool pipeLost = false;
    for (Sim::Bytes& t : Sim::Respond(p.scenario, frame, pipeLost))
        p.pending.push_back(std::move(t));
    Message("DuctraSend status: %li bytes send \r\n", static_cast<long>(length));
    // The frame left before the cable was pulled; from now on the pipe is
    // gone until the program opens it again.
    if (pipeLost) p.open = false;
    return DUCTRA_RESPONSE_SUCCESS;
}

// A receive while replaying: the next recorded receive of the request.
int32_t ReceiveReplayed(uint8_t* buffer, int32_t capacity, uint32_t* count) {
    Sim::Bytes bytes;
    const Sim::ReplayCall call = Sim::ReplayReceive(capacity, bytes);
    if (call.result == DUCTRA_RESPONSE_NO_VALID_HANDLER) {
        RecordError(ENODEV, 6 /* invalid handle */);
        RecordReplayed(call);
        Message("DuctraReceive Error: NO_VALID_HANDLER\r\n");
        return call.result;
    }
    Message("DuctraReceive have %li bytes to read\r\n", static_cast<long>(capacity));
    Message("DuctraReceive state: Start pipe read of %li bytes\r\n", static_cast<long>(capacity));
    if (call.result != DUCTRA_RESPONSE_SUCCESS) {
        RecordError(ETIMEDOUT, 121 /* semaphore time-out */);
        RecordReplayed(call);
        Message("DuctraReceive Error: TIMEOUT_OCCUR\r\n");
        return call.result;
    }
    Deliver(bytes.data(), bytes.size(), buffer, count);
    return DUCTRA_RESPONSE_SUCCESS;
}

int32_t ReceiveTransfer(uint8_t* buffer, int32_t capacity, int32_t timeout, uint32_t* count) {
    Start();
    PipeState& p = Pipe();
    if (Sim::Replaying() && buffer != nullptr && count != nullptr) {
        return ReceiveReplayed(buffer, capacity, count);
    }
    if (!p.open || buffer == nullptr || count == nullptr) {
        RecordError(ENODEV, 6 /* invalid handle */);
        Message("DuctraReceive Error: NO_VALID_HANDLER\r\n");
        return DUCTRA_RESPONSE_NO_VALID_HANDLER;
    }
    Message("DuctraReceive have %li bytes to read\r\n", static_cast<long>(capacity));
    Message("DuctraReceive state: Start pipe read of %li bytes\r\n", static_cast<long>(capacity));
    if (p.pending.empty()) {
        // Nothing will arrive: wait no longer than one transfer would take.
        uint64_t limit = timeout > 0 ? static_cast<uint64_t>(timeout) * 1000 : 0;
        Wait(static_cast<uint32_t>(std::min<uint64_t>(p.scenario.latencyUs, limit)));
        RecordError(ETIMEDOUT, 121 /* semaphore time-out */);
        Message("DuctraReceive Error: TIMEOUT_OCCUR\r\n");
        return DUCTRA_RESPONSE_TIMEOUT_OCCUR;
    }
    Wait(p.scenario.latencyUs);
    Sim::Bytes& front = p.pending.front();
    std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    std::size_t n = std::min(front.size(), room);
    Deliver(front.data(), n, buffer, count);
    if (n < front.size())
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    else
        p.pending.pop_front();
    return DUCTRA_RESPONSE_SUCCESS;
}

int32_t ClosePipe() {
    PipeState& p = Pipe();
    if (Sim::Replaying()) Sim::ReplayClose();
    if (!p.later.empty() && p.open && p.presence == PipeState::Presence::Attached) {
        const Sim::Device* sonde = Sim::FindDevice(p.scenario, 1);
        if (sonde != nullptr && !sonde->awake) p.presence = PipeState::Presence::Removed;
    }
    p.open = false;
    p.pending.clear();
    return DUCTRA_RESPONSE_SUCCESS;
}

}  // namespace

const ductra::PipeBackend ductra::Backend = {OpenPipe, SendFrame, ReceiveTransfer, ClosePipe,
                                             Start};

int DuctraSimRestart(const char* scenarioPath, const char* wireLogPath) {
    PipeState& p = Pipe();
    p = PipeState{};
    ductra::QuietFlag = 0;
    p.started = true;
    Sim::ReplayLoad(nullptr);
    Sim::WireLogOpen(wireLogPath);
    p.loadResult = Load(scenarioPath);
    p.later = p.scenario.nextInstruments;
    p.ports = p.scenario.ports;
    return p.loadResult;
}

int DuctraSimRestartFromEnvironment() {
    // A replay answers from its trace: no scenario is read then.
    const char* replay = std::getenv("DUCTRA_SIM_REPLAY");
    const bool replaying = replay != nullptr && *replay != '\0';
    const int result = DuctraSimRestart(replaying ? nullptr : std::getenv("DUCTRA_SIM_SCENARIO"),
                                        std::getenv("DUCTRA_SIM_WIRELOG"));
    if (!replaying) return result;
    Pipe().loadResult = Sim::ReplayLoad(replay);
    return Pipe().loadResult;
}
