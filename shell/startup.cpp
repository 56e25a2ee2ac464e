// Start-up in its fixed order: library version, calendar, time zone, open,
// drain of anything the instrument still has queued, working link settings.
#include "usbpipe/ductra.h"
#include "link/link.h"
#include "protocol/commands.h"
#include "protocol/time_format.h"
#include "shell/shell.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"

namespace {

constexpr uint32_t ZoneUnknown = 0;
constexpr uint32_t ZoneStandard = 1;
constexpr uint32_t ZoneDaylight = 2;

// Reports the workstation's zone and sets UtcOffset (device time minus local
// time). A zone query that failed prints no state line and adjusts nothing.
void ReportTimeZone() {
    const TimeZoneState zone = PlatformTimeZone();
    UtcOffset = zone.biasMinutes * 60;
    ConsolePrint("tzInfo.Bias(minutes)= %d\n", zone.biasMinutes);
    ConsolePrint("\n*** Time zone and UTC information: ");
    ConsolePrint("UTC zone bias is %d hours (%d seconds).\n", UtcOffset / 3600, UtcOffset);
    int32_t adjustment = 0;
    switch (zone.state) {
        case ZoneUnknown:
            ConsolePrint("*** In unknown time zone.\n");
            break;
        case ZoneStandard:
            ConsolePrint("*** In Standard time.\n");
            break;
        case ZoneDaylight:
            ConsolePrint("*** In Daylight savings time.\n");
            adjustment = 3600;
            break;
        default:
            break;
    }
    ConsolePrint("\n");
    UtcOffset -= adjustment;
    ConsolePrint("UTCbias(minutes)= %d\n", UtcOffset / 60);
}

// A device that never stops sending must not keep the program from its
// menus: the drain gives up after this many frames.
constexpr int MaxDrainedFrames = 64;

// Reads whatever is already waiting in the pipe (receive time-out still 0,
// trace still on) until a receive fails or finds nothing.
void DrainLink() {
    DuctraChatty(1);
    ResponseLength = 1;
    LastResult = 0;
    for (int frames = 0; LastResult == 0 && ResponseLength > 0 && frames < MaxDrainedFrames;
         ++frames) {
        LastResult = ReceiveResponse(&ResponseLength, ResponseBuffer);
    }
}

}  // namespace

void StartUp() {
    DuctraVersion();
    BuildCalendarTables(Calendar);
    ReportTimeZone();

    LastResult = DuctraOpen();
    ObservePipe(PipeCall::Open, LastResult);
    if (LastResult != 0) {
        ConsolePrint("Failed to init USB port!\n");
    } else {
        DrainLink();
    }
    ConsolePrint("Test TAVI channel\n");

    DeviceAddress = AddressSonde;
    ReceiveTimeout = WorkingReceiveTimeoutMs;
    LinkQuiet = 1;
    DuctraChatty(1);
}
