// The command catalogue, answered from the devices' state. Each handler
// checks its payload the way a device would (length, constants, board) and
// changes state only when the request is sound.
#include <algorithm>
#include <cstring>

#include "link/frame.h"
#include "sim/commands.h"
#include "sim/sim.h"

namespace Sim {

namespace {

Answer Status(uint8_t status) {
    return Answer{false, status, {}};
}
Answer Ok(Bytes payload = {}) {
    return Answer{false, StatusSuccess, std::move(payload)};
}

// A text field of fixed width: the bytes up to the first zero.
std::string FieldText(std::span<const uint8_t> field) {
    std::size_t n = 0;
    while (n < field.size() && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field.data()), n);
}

float FloatFromBits(uint32_t bits) {
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

Answer IdStringRead(const Device& device) {
    Bytes out(20, 0);
    std::memcpy(out.data(), device.name.data(), std::min<std::size_t>(device.name.size(), 20));
    out.insert(out.end(), device.idSerial.begin(), device.idSerial.end());
    out.push_back(0);
    return Ok(std::move(out));
}

Answer SystemCommand(Scenario& scenario, Device& device, uint8_t command,
                     std::span<const uint8_t> payload, const AppliedFaults& faults) {
    switch (command) {
        case Command::SystemReset:
            if (!payload.empty()) return Status(StatusMalformed);
            for (Board& b : device.boards) ResetBoard(b, false);
            device.awake = true;
            return Ok();
        case Command::SystemSleep:
            if (!payload.empty()) return Status(StatusMalformed);
            device.awake = false;
            return Ok();
        case Command::SystemStayAwake:
            if (payload.size() != 2) return Status(StatusMalformed);
            device.awake = true;
            device.stayAwakeSeconds = ReadLe16(payload.data());
            return Ok();
        case Command::DeviceEnable:
        case Command::DeviceDisable:
            if (!payload.empty()) return Status(StatusMalformed);
            device.enabled = command == Command::DeviceEnable;
            return Ok();
        case Command::DeviceListing:
            if (!payload.empty()) return Status(StatusMalformed);
            return Ok(EncodeDeviceListing(scenario, device, faults.counts));
        case Command::IdStringRead:
            if (!payload.empty()) return Status(StatusMalformed);
            return IdStringRead(device);
        case Command::IdStringWrite:
            if (payload.size() != 40) return Status(StatusMalformed);
            device.name = FieldText(payload.subspan(0, 20));
            device.idSerial = FieldText(payload.subspan(20, 20));
            return Ok();
        default:
            return Status(StatusUnknownCommand);
    }
}

Answer BoardOperation(const Device& device, Board& board, std::span<const uint8_t> payload) {
    if (payload.size() != 4 || payload[1] != 1) return Status(StatusMalformed);
    uint16_t selector = ReadLe16(payload.data() + 2);
    if (selector == SelectorClearCalibrationLog) {
        for (Component& c : board.components) {
            c.calibrations.clear();
            c.lastCal = 0;
        }
        return Ok();
    }
    if (selector == SelectorFormatLogMedia) {
        // Only the sonde's main board carries log media.
        if (device.address != AddressSonde || board.address != 0) return Status(StatusNoFileSystem);
        board.logMediaFormatted = true;
        return Ok();
    }
    return Status(StatusNoService);
}

Answer SettingWrite(const Device& device, Board& board, std::span<const uint8_t> payload) {
    if (payload.size() < 4 || payload[1] != 1 || payload[3] != 0) return Status(StatusMalformed);
    if (payload[2] == SettingFluorometerType) {
        if (payload.size() != 8) return Status(StatusMalformed);
        if (board.family != 11) return Status(StatusNoParameter);
        uint32_t type = ReadLe32(payload.data() + 4);
        if (type < 1 || type > 4) return Status(StatusMalformed);
        board.model = static_cast<uint8_t>(type);
        return Ok();
    }
    if (payload[2] == SettingBatteryRange) {
        if (payload.size() != 12) return Status(StatusMalformed);
        if (device.address != AddressSonde || board.address != 0) return Status(StatusNoParameter);
        board.batteryLow = FloatFromBits(ReadLe32(payload.data() + 4));
        board.batteryHigh = FloatFromBits(ReadLe32(payload.data() + 8));
        return Ok();
    }
    return Status(StatusNoParameter);
}

Answer DeviceCommand(const Device& device, Board& board, uint8_t command,
                     std::span<const uint8_t> payload, const AppliedFaults& faults) {
    switch (command) {
        case Command::BoardReset:
            if (payload.size() != 2 || payload[1] > 1) return Status(StatusMalformed);
            ResetBoard(board, payload[1] == 1);
            return Ok();
        case Command::DeviceReport:
            if (payload.size() != 2 || payload[1] != 0) return Status(StatusMalformed);
            return Ok(EncodeConfiguration(board, faults.counts));
        case Command::BoardOperation:
            return BoardOperation(device, board, payload);
        case Command::SettingWrite:
            return SettingWrite(device, board, payload);
        case Command::SetSerialNumber:
            if (payload.size() != 22 || payload[1] != 0) return Status(StatusMalformed);
            board.serial = FieldText(payload.subspan(2, 20));
            return Ok();
        case Command::SetBuildDate:
            if (payload.size() != 6 || payload[1] != 0) return Status(StatusMalformed);
            board.dob = ReadLe32(payload.data() + 2);
            return Ok();
        case Command::SetMaintenance:
            if (payload.size() != 10 || payload[1] != 0) return Status(StatusMalformed);
            board.dom = ReadLe32(payload.data() + 2);
            board.maintInterval = ReadLe32(payload.data() + 6);
            return Ok();
        default:
            return HandleBootloader(board, command, payload, faults);
    }
}

bool IsDeviceCommand(uint8_t command) {
    switch (command) {
        case Command::BoardReset:
        case Command::DeviceReport:
        case Command::BoardOperation:
        case Command::SettingWrite:
        case Command::SetSerialNumber:
        case Command::SetBuildDate:
        case Command::SetMaintenance:
        case Command::BootloaderEnter:
        case Command::BootloaderAttributes:
        case Command::BootloaderReadPage:
        case Command::BootloaderWritePage:
        case Command::BootloaderErase:
            return true;
        default:
            return false;
    }
}

}  // namespace

Answer HandleRequest(Scenario& scenario, Device& device, uint8_t command,
                     std::span<const uint8_t> payload, const AppliedFaults& faults) {
    if (command < 0x80) return SystemCommand(scenario, device, command, payload, faults);
    if (!IsDeviceCommand(command)) return Status(StatusUnknownCommand);
    if (payload.empty()) return Status(StatusMalformed);
    Board* board = FindBoard(device, payload[0]);
    if (board == nullptr) return Status(StatusNoBoard);
    return DeviceCommand(device, *board, command, payload, faults);
}

}  // namespace Sim
