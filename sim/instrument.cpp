// From one request frame to the transfers that answer it: the bus checks a
// device makes (address, length, CRC), the faults, the handler, the framing.
#include <algorithm>

#include "link/frame.h"
#include "sim/sim.h"

namespace Sim {

std::vector<Bytes> Respond(Scenario& scenario, std::span<const uint8_t> frame, bool& pipeLost) {
    pipeLost = false;
    if (frame.size() < FrameOverhead) return {};
    uint8_t address = frame[0];
    uint8_t command = frame[1];
    if (address == 0 || !IsReachable(scenario, address)) return {};
    Device* device = FindDevice(scenario, address);
    if (device == nullptr) return {};

    std::size_t announced = ReadLe16(frame.data() + 2);
    std::size_t carried = frame.size() - FrameOverhead;
    std::span<const uint8_t> payload = frame.subspan(FrameHeaderSize, std::min(announced, carried));
    uint16_t crc = Crc16::Of(frame.first(frame.size() - FrameCrcSize));
    bool crcGood = crc == ReadLe16(frame.data() + frame.size() - FrameCrcSize);

    AppliedFaults faults = MatchFaults(scenario, address, command, payload);
    // A pulled cable: the request never reaches the device.
    if (faults.losePipe) {
        pipeLost = true;
        return {};
    }
    if (faults.timeout) return {};
    Answer answer;
    if (faults.status)
        answer = Answer{false, *faults.status, {}};
    else if (!crcGood)
        answer = Answer{false, StatusCrcError, {}};
    else if (announced != carried)
        answer = Answer{false, StatusMalformed, {}};
    else
        answer = HandleRequest(scenario, *device, command, payload, faults);
    if (answer.silent) return {};
    if (faults.payload) answer.payload = *faults.payload;

    std::array<uint8_t, FrameCapacity> out{};
    std::size_t length = BuildFrame(0, answer.status, answer.payload, out);
    if (length == 0) return {};
    return ShapeTransfers(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)),
                          faults);
}

}  // namespace Sim
