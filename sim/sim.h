// The virtual instrument's inner workings, shared by its files: the devices
// and their boards, the faults of the scenario, and the steps from a request
// frame to the transfers that answer it. Nothing here is exported from the
// library; only the six ductra functions are.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Sim {

using Bytes = std::vector<uint8_t>;

struct Component {
    uint32_t lastCalDate = 0;
    uint32_t calInterval = 0;
    std::vector<std::vector<uint32_t>> setups;  // input words, raw 32 bits
    std::vector<std::vector<float>> calibrations;
    uint8_t lastCal = 0;
};

struct Flash {
    uint16_t blockSize = 256;
    uint16_t enterWaitMs = 2000;
    uint16_t eraseMs = 1500;
    uint32_t capacity = 131072;
};

// One board as the scenario describes it and as requests change it.
struct Board {
    uint8_t address = 0;
    uint8_t family = 0;
    uint8_t model = 0;
    uint16_t version = 0;
    uint8_t mask = 0;
    std::string serial;  // at most 20 bytes
    uint32_t dob = 0;
    uint32_t dom = 0;
    uint32_t maintInterval = 0;
    uint16_t stabilization = 0;
    uint8_t devEnMask = 0;
    float batteryLow = 3.2F;
    float batteryHigh = 6.0F;
    std::vector<Component> components;
    Flash flash;

    // What a factory reset brings back.
    float factoryBatteryLow = 3.2F;
    float factoryBatteryHigh = 6.0F;

    // Bootloader and flash state.
    bool inBootloader = false;
    bool erased = false;
    uint32_t announcedLength = 0;
    std::map<uint16_t, Bytes> blocks;  // by 1-based block number
    bool imageComplete = false;
    bool logMediaFormatted = false;
};

struct Device {
    uint8_t address = 0;
    std::string name;      // ID string name, at most 20 bytes
    std::string idSerial;  // ID string serial number, at most 20 bytes
    uint16_t minStabilization = 0;
    std::vector<Board> boards;
    bool awake = true;
    bool enabled = true;
    uint32_t stayAwakeSeconds = 0;
};

// Replacements for count fields of an answer (Device Report records).
struct CountOverrides {
    std::optional<uint16_t> devices;
    std::optional<uint8_t> components;
    std::optional<uint16_t> setups;
    std::optional<uint16_t> inputs;
    std::optional<uint8_t> calibrations;
    std::optional<uint8_t> lastCal;
    std::optional<uint16_t> steps;
};

// What a fault does to the requests it catches; also what the faults that
// caught one request do together.
struct FaultActions {
    std::optional<uint8_t> status;
    bool timeout = false;
    std::optional<Bytes> payload;
    CountOverrides counts;
    std::optional<uint16_t> readbackOffset;
    std::optional<uint16_t> enterWaitMs;
    std::optional<uint16_t> blockSize;
    std::optional<uint16_t> eraseMs;
    bool badCrc = false;
    Bytes extra;  // empty: none
    std::optional<uint32_t> shortLength;
    std::optional<uint32_t> splitAt;
    bool losePipe = false;
};

struct Fault : FaultActions {
    std::optional<uint8_t> address;
    std::optional<uint8_t> command;
    std::optional<uint8_t> board;
    uint32_t occurrence = 1;
    uint32_t times = 0;  // 0: every match from occurrence on
    uint32_t matched = 0;
};

struct Scenario {
    uint8_t usbAddress = 2;
    uint32_t latencyUs = 0;
    std::vector<int32_t> openResults;  // n-th open; past the end: 0
    bool openResultRepeats = false;    // one value given: every open
    std::vector<Bytes> waitingAtOpen;
    std::vector<Device> devices;
    std::vector<Fault> faults;
    // The instruments attached one after another once this one is removed
    // (see exports.cpp): each a scenario text laid over the default.
    std::vector<std::string> nextInstruments;
    // Instruments placed on USB ports, in the order a bus search finds them
    // (see exports.cpp); when there are any, they are the instruments.
    struct Placement {
        std::string port;      // "1-4.2"
        std::string serial;    // the USB serial number, or ""
        std::string scenario;  // the instrument: a scenario text laid over the default
    };
    std::vector<Placement> ports;
};

// What the handlers hand back: the answer's status and payload, or nothing
// at all (the device did not hear the request).
struct Answer {
    bool silent = false;
    uint8_t status = 0;
    Bytes payload;
};

// The faults that apply to one request, merged.
struct AppliedFaults : FaultActions {
    bool any = false;
};

// scenario.cpp: parse a scenario text laid over the built-in default.
// On failure returns nonzero and sets error to "<field>: expected <what>".
int LoadScenario(const std::string& text, Scenario& scenario, std::string& error);
// The built-in default (default_scenario.json as embedded by the build).
const char* DefaultScenarioText();
// The scenario schema (scenario.schema.json as embedded by the build).
const char* ScenarioSchemaText();
// A scenario text against the schema alone (LoadScenario checks it too,
// after its own checks of every field): 0, or nonzero with error naming the
// field ("faults[0].timeout: expected what the scenario schema allows (...)").
int CheckScenarioSchema(const std::string& text, std::string& error);

// system.cpp: finding devices and boards, encoding records.
Device* FindDevice(Scenario& scenario, uint8_t address);
Board* FindBoard(Device& device, uint8_t address);
bool IsReachable(const Scenario& scenario, uint8_t address);
Bytes EncodeDeviceListing(const Scenario& scenario, const Device& device,
                          const CountOverrides& counts);
Bytes EncodeConfiguration(const Board& board, const CountOverrides& counts);
void ResetBoard(Board& board, bool factory);

// handlers.cpp: carry out one request addressed to a reachable device.
Answer HandleRequest(Scenario& scenario, Device& device, uint8_t command,
                     std::span<const uint8_t> payload, const AppliedFaults& faults);

// bootloader.cpp: the bootloader commands 0xF0..0xF4.
Answer HandleBootloader(Board& board, uint8_t command, std::span<const uint8_t> payload,
                        const AppliedFaults& faults);
// Runs a completed image after a reset: takes its code version.
void StartImage(Board& board);

// faults.cpp: which faults catch a request, and what they do to the answer.
AppliedFaults MatchFaults(Scenario& scenario, uint8_t address, uint8_t command,
                          std::span<const uint8_t> payload);
// Turns an answer frame into the transfers the pipe delivers.
std::vector<Bytes> ShapeTransfers(Bytes frame, const AppliedFaults& faults);

// wire_log.cpp
void WireLogOpen(const char* path);
void WireLogClose();
void WireLogLine(char direction, std::span<const uint8_t> bytes);

// replay.cpp: answers from a recorded trace (DUCTRA_SIM_REPLAY).
struct ReplayCall {
    int32_t result = 0;
    bool hasError = false;  // the recorded system error, when recorded on this platform
    int32_t error = 0;
};
// Loads the last session of the trace at path (null or empty: no replay).
// Nonzero when the file cannot be replayed (reported on standard error).
int ReplayLoad(const char* path);
bool Replaying();
ReplayCall ReplayOpen();
void ReplayClose();
// The recorded result of the request. A request that differs from the trace
// is reported (the first time only) and gets 0 here and time-outs after it.
ReplayCall ReplaySend(std::span<const uint8_t> frame);
// The next recorded receive of the current request: its result and, when it
// succeeded, its bytes (at most capacity); a time-out when none is left.
ReplayCall ReplayReceive(int32_t capacity, Bytes& bytes);

// instrument.cpp: from one request frame to the transfers that answer it.
// pipeLost is set when a fault pulls the cable instead of answering.
std::vector<Bytes> Respond(Scenario& scenario, std::span<const uint8_t> frame, bool& pipeLost);

// Status values the boards answer with.
inline constexpr uint8_t StatusSuccess = 0;
inline constexpr uint8_t StatusUnknownCommand = 3;
inline constexpr uint8_t StatusMalformed = 4;
inline constexpr uint8_t StatusNoBoard = 5;
inline constexpr uint8_t StatusNoParameter = 7;
inline constexpr uint8_t StatusNoService = 8;
inline constexpr uint8_t StatusNoBlock = 10;
inline constexpr uint8_t StatusNoFileSystem = 11;
inline constexpr uint8_t StatusCrcError = 12;
inline constexpr uint8_t StatusDeviceError = 16;

}  // namespace Sim

// Test hook, compiled into the static core only reachable by linking it:
// restarts the instrument as if the process had just loaded the library,
// reading the scenario and wire log from the given paths (null: none, i.e. the
// default instrument and no log). Returns 0, or nonzero when the scenario is
// bad (the message is on stderr and every open fails as it would).
int DuctraSimRestart(const char* scenarioPath, const char* wireLogPath);
// Restarts from the environment variables, as the library does on first use.
int DuctraSimRestartFromEnvironment();
