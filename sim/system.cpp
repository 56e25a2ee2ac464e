// The devices and their boards: finding them, and encoding the records they
// report (the System Device Report list and a board's configuration record).
#include <algorithm>
#include <cstring>

#include "link/frame.h"
#include "sim/sim.h"

namespace Sim {

namespace {

void Put8(Bytes& out, uint8_t v) {
    out.push_back(v);
}
void Put16(Bytes& out, uint16_t v) {
    uint8_t b[2];
    WriteLe16(b, v);
    out.insert(out.end(), b, b + 2);
}
void Put32(Bytes& out, uint32_t v) {
    uint8_t b[4];
    WriteLe32(b, v);
    out.insert(out.end(), b, b + 4);
}
uint32_t FloatBits(float f) {
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

void PutListingRecord(Bytes& out, uint8_t address, const Board& board) {
    Put8(out, address);
    Put8(out, board.mask);
    Put8(out, board.family);
    Put8(out, board.model);
    Put16(out, board.version);
}

// An override is taken once: the first count field of its kind gets it.
template <typename T>
T Take(const std::optional<T>& override, bool& taken, T actual) {
    if (!override.has_value() || taken) return actual;
    taken = true;
    return override.value();
}

}  // namespace

Device* FindDevice(Scenario& scenario, uint8_t address) {
    for (Device& d : scenario.devices)
        if (d.address == address) return &d;
    return nullptr;
}

Board* FindBoard(Device& device, uint8_t address) {
    for (Board& b : device.boards)
        if (b.address == address) return &b;
    return nullptr;
}

// Only the USB device and the sonde behind it hear requests.
bool IsReachable(const Scenario& scenario, uint8_t address) {
    return address == 1 || address == scenario.usbAddress;
}

// The sonde lists its boards by board address; the communications module or
// handheld lists the bus: itself and the sonde, by bus address.
Bytes EncodeDeviceListing(const Scenario& scenario, const Device& device,
                          const CountOverrides& counts) {
    Bytes records;
    uint16_t n = 0;
    if (device.address == 1) {
        for (const Board& b : device.boards) {
            PutListingRecord(records, b.address, b);
            ++n;
        }
    } else {
        for (uint8_t address : {device.address, uint8_t{1}}) {
            for (const Device& d : scenario.devices) {
                if (d.address != address || d.boards.empty()) continue;
                const Board* main = &d.boards.front();
                for (const Board& b : d.boards)
                    if (b.address == 0) main = &b;
                PutListingRecord(records, address, *main);
                ++n;
            }
        }
    }
    Bytes out;
    Put16(out, device.minStabilization);
    Put16(out, counts.devices ? *counts.devices : n);
    out.insert(out.end(), records.begin(), records.end());
    return out;
}

Bytes EncodeConfiguration(const Board& board, const CountOverrides& counts) {
    bool setupsTaken = false, inputsTaken = false, calsTaken = false, lastTaken = false,
         stepsTaken = false, componentsTaken = false;
    Bytes out;
    Put8(out, board.family);
    Put8(out, board.model);
    Put16(out, board.version);
    uint8_t serial[20] = {};
    std::memcpy(serial, board.serial.data(), std::min<std::size_t>(board.serial.size(), 20));
    out.insert(out.end(), serial, serial + 20);
    Put32(out, board.dob);
    Put32(out, board.dom);
    Put32(out, board.maintInterval);
    Put16(out, board.stabilization);
    Put8(out,
         Take(counts.components, componentsTaken, static_cast<uint8_t>(board.components.size())));
    Put8(out, board.devEnMask);
    for (const Component& c : board.components) {
        Put32(out, c.lastCalDate);
        Put32(out, c.calInterval);
        Put16(out, Take(counts.setups, setupsTaken, static_cast<uint16_t>(c.setups.size())));
        for (const auto& setup : c.setups) {
            Put16(out, Take(counts.inputs, inputsTaken, static_cast<uint16_t>(setup.size())));
            for (uint32_t w : setup) Put32(out, w);
        }
        Put8(out,
             Take(counts.calibrations, calsTaken, static_cast<uint8_t>(c.calibrations.size())));
        Put8(out, Take(counts.lastCal, lastTaken, c.lastCal));
        for (const auto& cal : c.calibrations) {
            Put16(out, Take(counts.steps, stepsTaken, static_cast<uint16_t>(cal.size())));
            for (float f : cal) Put32(out, FloatBits(f));
        }
    }
    return out;
}

// A reset leaves the bootloader and runs whatever image is complete; a
// factory reset also forgets calibrations and custom settings. The
// fluorometer type stays: it says what the sensor is, and the program applies
// a newly written type with exactly this factory reset.
void ResetBoard(Board& board, bool factory) {
    StartImage(board);
    board.inBootloader = false;
    if (!factory) return;
    for (Component& c : board.components) {
        c.calibrations.clear();
        c.lastCal = 0;
    }
    board.batteryLow = board.factoryBatteryLow;
    board.batteryHigh = board.factoryBatteryHigh;
}

}  // namespace Sim
