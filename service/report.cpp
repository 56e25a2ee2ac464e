// 'cn': the configuration record of one board, printed field by field.
// The record's length depends on the counts inside it, so every field is
// taken through a cursor that stops at the last byte actually received.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <span>

#include "link/link.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "protocol/time_format.h"
#include "service/exchange.h"
#include "service/service.h"
#include "terminal/console_io.h"

namespace {

// Limits of the counts inside a record.
constexpr uint8_t MaxComponents = 2;
constexpr uint16_t MaxSetups = 4;
constexpr uint16_t MaxSondeInputs = 10;
constexpr uint8_t MaxCalibrations = 4;
constexpr uint16_t MaxSteps = 4;

// A read position in the received payload that never passes its end.
struct RecordCursor {
    std::span<const uint8_t> bytes;
    std::size_t at = 0;
    std::size_t missing = 0;  // bytes lacking for the field that did not fit

    const uint8_t* Take(std::size_t width) {
        const std::size_t left = bytes.size() - at;
        if (width > left) {
            missing = width - left;
            return nullptr;
        }
        const uint8_t* field = bytes.data() + at;
        at += width;
        return field;
    }
    bool Take8(uint8_t& value) {
        const uint8_t* field = Take(1);
        if (field != nullptr) value = field[0];
        return field != nullptr;
    }
    bool Take16(uint16_t& value) {
        const uint8_t* field = Take(2);
        if (field != nullptr) value = ReadLe16(field);
        return field != nullptr;
    }
    bool Take32(uint32_t& value) {
        const uint8_t* field = Take(4);
        if (field != nullptr) value = ReadLe32(field);
        return field != nullptr;
    }
};

enum class Decoded { Complete, EndsEarly, Aborted };

// A labelled value and the local time text of a device time.
void PrintDeviceTime(const char* label, int32_t shown, uint32_t deviceTime) {
    char text[TimestampTextSize];
    FormatTimestamp(Calendar, deviceTime - static_cast<uint32_t>(UtcOffset), text);
    ConsolePrint("%s%d : %s\n", label, shown, text);
}

// A count above its limit is reported and taken as 0; the entries it
// announced are then read as the fields that follow.
uint16_t Bounded(uint16_t count, uint16_t limit, const char* refusal) {
    if (count <= limit) return count;
    ConsolePrint("%s", refusal);
    return 0;
}

Decoded PrintSetup(RecordCursor& record, int number) {
    ConsolePrint("\nSetup %d", number);
    uint16_t inputs = 0;
    if (!record.Take16(inputs)) return Decoded::EndsEarly;
    // Only the sonde's setups are limited; the handheld's may hold more.
    if (DeviceAddress == AddressSonde && inputs > MaxSondeInputs) {
        ConsolePrint(" Bogus number of inputs.\n");
        inputs = 0;
    } else {
        ConsolePrint(" with %d inputs.\n", inputs);
    }
    for (uint16_t i = 0; i < inputs; ++i) {
        uint32_t word = 0;
        if (!record.Take32(word)) return Decoded::EndsEarly;
        ConsolePrint("(u16) %6d", static_cast<int>(word & 0xFFFFu));
        ConsolePrint("\t(u32) %6u", static_cast<unsigned>(word));
        ConsolePrint("\t(float) %1.6e", static_cast<double>(std::bit_cast<float>(word)));
        ConsolePrint("\t(hex) 0x%.8X\n", static_cast<unsigned>(word));
    }
    return Decoded::Complete;
}

Decoded PrintCalibration(RecordCursor& record, int number) {
    ConsolePrint("\nCalibration %d", number);
    uint16_t steps = 0;
    if (!record.Take16(steps)) return Decoded::EndsEarly;
    if (steps > MaxSteps) {
        ConsolePrint(" with bogus number of steps.\n");
        steps = 0;
    } else {
        ConsolePrint(" with %d steps.\n", steps);
    }
    for (uint16_t i = 0; i < steps; ++i) {
        uint32_t value = 0;
        if (!record.Take32(value)) return Decoded::EndsEarly;
        ConsolePrint("\tinput %f\n", static_cast<double>(std::bit_cast<float>(value)));
    }
    return Decoded::Complete;
}

Decoded PrintComponent(RecordCursor& record, int number) {
    ConsolePrint("\n\tComponent num: %d\n", number);
    uint32_t calDate = 0;
    if (!record.Take32(calDate)) return Decoded::EndsEarly;
    // Shown as the local value, not as received.
    const uint32_t localCalDate = calDate - static_cast<uint32_t>(UtcOffset);
    PrintDeviceTime("Last cal date: ", static_cast<int32_t>(localCalDate), calDate);

    uint32_t calInterval = 0;
    if (!record.Take32(calInterval)) return Decoded::EndsEarly;
    ConsolePrint("Last cal interval ");
    PrintInterval(calInterval);
    ConsolePrint("\n");

    uint16_t setups = 0;
    if (!record.Take16(setups)) return Decoded::EndsEarly;
    setups = Bounded(setups, MaxSetups, "Bugus number of setups.\n");
    ConsolePrint("\nNum setups %d\n", setups);
    for (int s = 1; s <= setups; ++s) {
        if (PrintSetup(record, s) != Decoded::Complete) return Decoded::EndsEarly;
    }

    uint8_t calibrations = 0;
    if (!record.Take8(calibrations)) return Decoded::EndsEarly;
    calibrations = static_cast<uint8_t>(Bounded(calibrations, MaxCalibrations, "Bugus number.\n"));
    ConsolePrint("\nNum Calibrations %d\n", calibrations);

    uint8_t lastDone = 0;
    if (!record.Take8(lastDone)) return Decoded::EndsEarly;
    lastDone = static_cast<uint8_t>(Bounded(lastDone, MaxCalibrations, "Bugus number.\n"));
    ConsolePrint("\nLast Calibration number done %d\n", lastDone);

    for (int k = 1; k <= calibrations; ++k) {
        if (PrintCalibration(record, k) != Decoded::Complete) return Decoded::EndsEarly;
    }
    return Decoded::Complete;
}

Decoded PrintRecord(RecordCursor& record) {
    ConsolePrint("Device Report\n");
    const uint8_t* identity = record.Take(2);
    if (identity == nullptr) return Decoded::EndsEarly;
    PrintDeviceName(identity[0], identity[1]);
    ConsolePrint("Dev Family    %d\n", identity[0]);
    ConsolePrint("Dev Model     %d\n", identity[1]);

    uint16_t version = 0;
    if (!record.Take16(version)) return Decoded::EndsEarly;
    ConsolePrint("UI version:   %d\n", version >> 10);
    ConsolePrint("Code version: %d.%d\n", (version >> 7) & 0x7, version & 0x7F);

    // The serial number need not end inside its field: print at most 20 bytes.
    const uint8_t* serial = record.Take(20);
    if (serial == nullptr) return Decoded::EndsEarly;
    ConsolePrint("S/N          \"%.20s\"\n", reinterpret_cast<const char*>(serial));

    uint32_t dob = 0;
    if (!record.Take32(dob)) return Decoded::EndsEarly;
    PrintDeviceTime("Dev DOB      ", static_cast<int32_t>(dob), dob);
    uint32_t dom = 0;
    if (!record.Take32(dom)) return Decoded::EndsEarly;
    PrintDeviceTime("Dev DOM      ", static_cast<int32_t>(dom), dom);

    uint32_t maintInterval = 0;
    if (!record.Take32(maintInterval)) return Decoded::EndsEarly;
    ConsolePrint("Maint Intl   ");
    PrintInterval(maintInterval);
    ConsolePrint("\n");
    uint16_t stable = 0;
    if (!record.Take16(stable)) return Decoded::EndsEarly;
    ConsolePrint("Stable in    ");
    PrintInterval(stable);
    ConsolePrint("\n");

    const uint8_t* counts = record.Take(2);
    if (counts == nullptr) return Decoded::EndsEarly;
    const uint8_t components = counts[0];
    ConsolePrint("Num Comp     0x%.2X\n", components);
    ConsolePrint("DevEn Mask   0x%.2X\n", counts[1]);

    if (components > MaxComponents) {
        ConsolePrint("Bogus number of components: %d - abort.\n", components);
        return Decoded::Aborted;
    }
    for (int n = 1; n <= components; ++n) {
        if (PrintComponent(record, n) != Decoded::Complete) return Decoded::EndsEarly;
    }
    return Decoded::Complete;
}

}  // namespace

void ShowConfiguration() {
    const uint8_t board = AnnounceBoard(
        {"Main board report\n", "Vantor LX report\n", "Com Module report\n", "Sensor Report\n"});
    RequestPayload[0] = board;
    RequestPayload[1] = 0;
    // A failed exchange ends the report silently; the link layer has said why.
    if (ExchangeRequest(Command::DeviceReport, 2) != 0 || ResponseStatus != 0) {
        PressReturn();
        return;
    }
    ResponseCursor = ResponseBuffer + ResponsePayloadOffset;

    RecordCursor record{ReceivedPayload(ResponseLength)};
    const Decoded decoded = PrintRecord(record);
    // The refused component count stops at once: the menu follows unpaused.
    if (decoded == Decoded::Aborted) return;
    if (decoded == Decoded::EndsEarly) {
        ConsolePrint("\nReport ends early: %u bytes missing.\n",
                     static_cast<unsigned>(record.missing));
    }
    PressReturn();
}
