// 'sf' and 'sb': one numeric setting written into a board of the sonde,
// the fluorometer type of a sensor or the battery range of the main board.
#include <bit>

#include "link/link.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "service/decline.h"
#include "service/exchange.h"
#include "service/menu_state.h"
#include "service/prompts.h"
#include "service/service.h"
#include "terminal/console_io.h"

namespace {

void PutSettingHead(uint8_t board, uint8_t setting) {
    RequestPayload[0] = board;
    RequestPayload[1] = 1;
    RequestPayload[2] = setting;
    RequestPayload[3] = 0;
}

void PutLimit(std::size_t offset, float limit) {
    WriteLe32(RequestPayload + offset, std::bit_cast<uint32_t>(limit));
}

// Asks the question until the answer's low bits (8 or 16, as the device
// takes them) name one of first..last; a word is discarded and asked again.
template <typename Answer>
Answer AskChoice(const char* question, Answer first, Answer last) {
    for (;;) {
        ConsolePrint("%s", question);
        int32_t typed = 0;
        if (!ReadDecimal(typed)) continue;
        const auto answer = static_cast<Answer>(typed);
        if (answer >= first && answer <= last) return answer;
    }
}

void WriteBatteryRange() {
    ConsolePrint("Set up battery range limits.\n");
    PutSettingHead(0, SettingBatteryRange);
    float lower = 3.2f;
    float upper = 6.0f;
    if (SondeModel == 4) {
        if (AskChoice<uint8_t>(BatteryRangePrompt.text, 1, 2) == 2) {
            ConsolePrint("\nIBP\n");
            lower = 1.0f;
            upper = 1.55f;
        } else {
            ConsolePrint("\nNOBATT\n");
            lower = 0.0f;
            upper = 0.0f;
        }
    }
    PutLimit(4, lower);
    PutLimit(8, upper);
    ExchangeAndReport(Command::SettingWrite, 12);
    PressReturn();
}

void WriteFluorometerType() {
    ConsolePrint("Set Fluorometer type\n");
    const uint8_t sensor = AskSensorAddress(SensorAddressPrompt.text);
    if (QueryDeviceFamily(sensor) != FamilyFluorometer) {
        ReportDecline(Decline::NotFluorometer, sensor);
        ConsolePrint("This is not a fluorometer.\n");
        PressReturn();
        return;
    }
    ConsolePrint("Choose sensor type.\n");
    ConsolePrint(" 1 = Chlorophyll A\n");
    ConsolePrint(" 2 = Rhodamine\n");
    ConsolePrint(" 3 = Blue Green Algae Fresh\n");
    ConsolePrint(" 4 = Blue Green Algae Marine\n");
    const uint16_t type = AskChoice<uint16_t>(FluorometerTypePrompt.text, 1, 4);

    PutSettingHead(sensor, SettingFluorometerType);
    WriteLe32(RequestPayload + 4, type);
    ExchangeAndReport(Command::SettingWrite, 8);
    // A factory reset of the sensor follows, whatever the setting's answer was.
    ResetAfterChange(sensor, 1);
    PressReturn();
}

}  // namespace

void WriteSetting() {
    if (MenuState == MenuMainBoard) {
        WriteBatteryRange();
    } else {
        WriteFluorometerType();
    }
}
