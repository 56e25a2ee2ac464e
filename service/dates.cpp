// 'bd' and 'md': stamp a board with the current date as a device time, the
// build date alone or the maintenance date with its interval.
#include <cstdint>

#include "link/link.h"
#include "protocol/commands.h"
#include "protocol/time_format.h"
#include "service/exchange.h"
#include "service/menu_state.h"
#include "service/prompts.h"
#include "service/service.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"

namespace {

constexpr uint32_t SecondsPerDay = 86400;
// The longest interval whose seconds fit the 32-bit field.
constexpr int32_t MaxIntervalDays = static_cast<int32_t>(UINT32_MAX / SecondsPerDay);

struct Now {
    uint32_t deviceTime;           // seconds since 2000-01-01 UTC
    char text[TimestampTextSize];  // local time
};

Now TakeNow() {
    const LocalCalendarTime local = PlatformLocalTime();
    DateFields fields{};
    fields.year = local.year;
    fields.month = local.month;
    fields.day = local.day;
    fields.hour = local.hour;
    fields.minute = local.minute;
    fields.second = local.second;
    const uint32_t localSeconds = DeviceSecondsFromDate(Calendar, fields);
    Now now{};
    FormatTimestamp(Calendar, localSeconds, now.text);
    now.deviceTime = localSeconds + static_cast<uint32_t>(UtcOffset);
    return now;
}

// Asks for the interval until it is a number of days whose seconds fit
// 32 bits; words, negative and too large answers are refused.
int32_t AskIntervalDays() {
    for (;;) {
        ConsolePrint("%s", MaintenanceIntervalPrompt.text);
        int32_t days = 0;
        if (ReadDecimal(days) && days >= 0 && days <= MaxIntervalDays) return days;
        ConsolePrint("Interval must be 0 to %d days.\n", MaxIntervalDays);
    }
}

}  // namespace

void SetBuildDate() {
    const uint8_t board =
        AnnounceBoard({"Main board set set build date\n", "Vantor LX set build date\n",
                       "Com Module set build date\n", "Sensor Set Build Date\n"});
    ConsolePrint("Set to today's date.\n");
    RequestPayload[0] = board;
    RequestPayload[1] = 0;
    const Now now = TakeNow();
    ConsolePrint(" Right now is : %s\n", now.text);
    WriteLe32(RequestPayload + 2, now.deviceTime);
    ExchangeAndReport(Command::SetBuildDate, 6);
    PressReturn();
}

void SetMaintenance() {
    // Only the main board and the sensor boards menus offer 'md'.
    const uint8_t board = AnnounceBoard({"Main board set set maintenance defaults\n", nullptr,
                                         nullptr, "Sensor set maintenance date and interval\n"});
    ConsolePrint("Set to today's date.\n");
    RequestPayload[0] = board;
    RequestPayload[1] = 0;
    const Now now = TakeNow();
    WriteLe32(RequestPayload + 2, now.deviceTime);

    const int32_t days = MenuState == MenuMainBoard ? 0 : AskIntervalDays();
    const uint32_t interval = static_cast<uint32_t>(days) * SecondsPerDay;
    WriteLe32(RequestPayload + 6, interval);
    ConsolePrint(" Right now is : %s\n", now.text);
    ConsolePrint("Maintenance interval= ");
    PrintInterval(interval);
    ConsolePrint("\n");
    ExchangeAndReport(Command::SetMaintenance, 10);
    PressReturn();
}
