// The five menus: each call clears the screen, shows the menu of MenuState,
// reads one answer of at most two characters and acts on it.
#include <span>
#include <string_view>

#include "link/link.h"
#include "protocol/catalogue.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "service/service.h"
#include "shell/prompts.h"
#include "shell/shell.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"
#include "terminal/program_end.h"

namespace {

// A menu answer and the command it chooses.
struct MenuCommand {
    std::string_view answer;
    uint8_t code;
};

// Commands of each device menu, in the order the answer is tested.
constexpr MenuCommand SensorCommands[] = {
    {"ll", Command::DeviceListing},    {"rs", Command::BoardReset},
    {"cn", Command::DeviceReport},     {"bd", Command::SetBuildDate},
    {"md", Command::SetMaintenance},   {"sn", Command::SetSerialNumber},
    {"sf", Command::SettingWrite},     {"cl", Command::BoardOperation},
    {"dl", Command::FirmwareDownload},
};
constexpr MenuCommand MainBoardCommands[] = {
    {"rs", Command::BoardReset},     {"cn", Command::DeviceReport},
    {"si", Command::IdStringRead},   {"bd", Command::SetBuildDate},
    {"md", Command::SetMaintenance}, {"sn", Command::SetSerialNumber},
    {"sb", Command::SettingWrite},   {"cl", Command::BoardOperation},
};
constexpr MenuCommand HandheldCommands[] = {
    {"ll", Command::DeviceListing}, {"rs", Command::BoardReset},      {"cn", Command::DeviceReport},
    {"bd", Command::SetBuildDate},  {"sn", Command::SetSerialNumber},
};
constexpr MenuCommand ComModuleCommands[] = {
    {"rs", Command::BoardReset},
    {"cn", Command::DeviceReport},
    {"bd", Command::SetBuildDate},
    {"sn", Command::SetSerialNumber},
};

constexpr uint8_t StatusUsbTimeout = 255;

// Reads one answer token; a token longer than two characters is not stored
// and so matches nothing.
std::string_view ReadAnswer(char (&answer)[3]) {
    answer[0] = '\0';
    ConsoleScan("%s", answer, sizeof answer);
    answer[sizeof answer - 1] = '\0';
    return std::string_view(answer);
}

// Sends System Sleep to the current device, ignores its answer, and ends.
[[noreturn]] void QuitWithSleep() {
    uint16_t length = 0;
    Transact(Command::SystemSleep, RequestPayload, 0, &length);
    EndProgram(0);
}

// The short listing of the top and sensor boards menus, and its outcome.
void LookUpAndReport() {
    const uint8_t result = LookUpDevices();
    if (result == 0) return;
    if (result == StatusUsbTimeout) {
        ConsolePrint("No sonde detected.\n");
    } else {
        StatusMessage(result);
    }
}

// Asks the addressed device for its own board's configuration record and
// takes the model byte; false (after "command error") when that fails.
bool QueryOwnModel(uint8_t& model) {
    model = 0;
    ResponseCursor = ResponseBuffer;
    RequestPayload[0] = 0;
    RequestPayload[1] = 0;
    uint16_t length = 0;
    const uint8_t result = Transact(Command::DeviceReport, RequestPayload, 2, &length);
    if (ResponseStatus != 0 || result != 0) {
        ConsolePrint("command error\n");
        return false;
    }
    ResponseCursor += ResponsePayloadOffset;
    // The model is payload byte 1; a payload too short to hold it reads as 0.
    if (length >= FrameOverhead + 2) model = ResponseCursor[1];
    return true;
}

// The catalogue name of the addressed device, above the menu lines.
void PrintDeviceNameHeader() {
    ConsolePrint("\t\t\t");
    const uint8_t family = QueryDeviceFamily(0);
    uint8_t model = 0;
    QueryOwnModel(model);
    PrintDeviceName(family, model);
}

void ShowTopMenu() {
    ConsolePrint("Limnora Quillon Program version ALPHA %s.\n", "Version 1.6: 7/8/2022");
    ConsolePrint("Only one Com Module or one Vantor LX can be connected to USB at any time\n");
    ConsolePrint("\n\n");
    ConsolePrint("\tSelect an option and press <Enter>\n");
    ConsolePrint("'m' for main board\n");
    ConsolePrint("'s' for sensor board\n");
    ConsolePrint("'h' for Vantor Handheld\n");
    ConsolePrint("'c' for Com Module\n");
    ConsolePrint("'q' to quit\n");
    ConsolePrint("\n\n");
    LookUpAndReport();
    ConsolePrint("%s", TopMenuPrompt.text);
}

void ShowSensorMenu() {
    ConsolePrint("\tSensor Boards: Select an option and press <Enter> \n");
    ConsolePrint("'ll' List devices and firmware revisions\n");
    ConsolePrint("'rs' Reset sensor board, either simple reset or factory reset\n");
    ConsolePrint("'cn' Show Sensor board configuration\n");
    ConsolePrint("'bd' Set manufacturing date to today\n");
    ConsolePrint("'md' Set maintenance date and interval to today with no interval\n");
    ConsolePrint("'sn' Set serial number\n");
    ConsolePrint("'sf' Set fluorometer type (for a fluorometer sensor only)\n");
    ConsolePrint("'cl' Clear calibration log\n");
    ConsolePrint("'dl' Download firmware (You choose)\n");
    ConsolePrint("'rm' Return to main menu\n");
    ConsolePrint("'q'  Quit\n");
    ConsolePrint("\n\n");
    LookUpAndReport();
    ConsolePrint("%s", SensorMenuPrompt.text);
}

void ShowMainBoardMenu() {
    PrintDeviceNameHeader();
    ConsolePrint("\tMain Board: Select an option and press <Enter> \n");
    ConsolePrint("'rs' Reset Main board, either simple reset or factory reset\n");
    ConsolePrint("'cn' Show Main board configuration\n");
    ConsolePrint("'si' Show Sonde Identification (Sonde name and serial number)\n");
    ConsolePrint("'bd' Set manufacturing date to today\n");
    ConsolePrint("'md' Set maintenance defaults\n");
    ConsolePrint("'sn' Set serial number\n");
    ConsolePrint("'sb' Set Battery range\n");
    ConsolePrint("'cl' Format Log Media card\n");
    ConsolePrint("'rm' Return to main menu\n");
    ConsolePrint("'q'  Quit\n");
    ConsolePrint("\n\n");
    ConsolePrint("%s", MainBoardMenuPrompt.text);
}

void ShowHandheldMenu() {
    PrintDeviceNameHeader();
    ConsolePrint("\tVantor LX: Select an option and press <Enter> \n");
    ConsolePrint("'ll' List devices, database is called a sensor\n");
    ConsolePrint("'rs' Vantor LX reset, either simple reset or factory reset\n");
    ConsolePrint("'cn' Show Vantor LX configuration\n");
    ConsolePrint("'bd' Set manufacturing date to today\n");
    ConsolePrint("'sn' Set serial number\n");
    ConsolePrint("'rm' Return to main menu\n");
    ConsolePrint("'q'  Quit\n");
    ConsolePrint("\n\n");
    ConsolePrint("%s", HandheldMenuPrompt.text);
}

void ShowComModuleMenu() {
    PrintDeviceNameHeader();
    ConsolePrint("\tCom Module: Select an option and press <Enter> \n");
    ConsolePrint("'rs' Reset Com Module, either simple reset or factory reset\n");
    ConsolePrint("'cn' Show Com Module configuration\n");
    ConsolePrint("'bd' Set manufacturing date to today\n");
    ConsolePrint("'sn' Set serial number\n");
    ConsolePrint("'rm' Return to main menu\n");
    ConsolePrint("'q'  Quit\n");
    ConsolePrint("Calibration information is not used in the communications modules\n");
    // Setup advisory: the setup numbers mean something only from model 2 on.
    uint8_t model = 0;
    if (QueryOwnModel(model) && model > 1) {
        ConsolePrint("Use Quellis to understand what the setup numbers mean, or to change them.\n");
    }
    ConsolePrint("\n\n");
    ConsolePrint("%s", ComModuleMenuPrompt.text);
}

bool ActOnTopAnswer(std::string_view answer) {
    if (answer == "m") {
        MenuState = MenuMainBoard;
        DeviceAddress = AddressSonde;
    } else if (answer == "s") {
        MenuState = MenuSensorBoards;
        DeviceAddress = AddressSonde;
    } else if (answer == "h") {
        MenuState = MenuHandheld;
        DeviceAddress = AddressHandheld;
    } else if (answer == "c") {
        MenuState = MenuComModule;
        DeviceAddress = AddressComModule;
    } else if (answer == "q") {
        QuitWithSleep();
    }
    return false;
}

bool ActOnDeviceAnswer(std::string_view answer, std::span<const MenuCommand> commands) {
    if (answer == "rm") {
        MenuState = MenuTop;
        DeviceAddress = AddressSonde;
        return false;
    }
    for (const MenuCommand& command : commands) {
        if (answer == command.answer) {
            CommandCode = command.code;
            return true;
        }
    }
    if (answer == "q") {
        // The communications module is left awake: it is never sent to sleep.
        if (MenuState == MenuComModule) EndProgram(0);
        QuitWithSleep();
    }
    return false;
}

}  // namespace

bool ShowMenu() {
    PlatformClearScreen();
    char answer[3] = {};
    switch (MenuState) {
        case MenuSensorBoards:
            ShowSensorMenu();
            return ActOnDeviceAnswer(ReadAnswer(answer), SensorCommands);
        case MenuMainBoard:
            ShowMainBoardMenu();
            return ActOnDeviceAnswer(ReadAnswer(answer), MainBoardCommands);
        case MenuHandheld:
            ShowHandheldMenu();
            return ActOnDeviceAnswer(ReadAnswer(answer), HandheldCommands);
        case MenuComModule:
            ShowComModuleMenu();
            return ActOnDeviceAnswer(ReadAnswer(answer), ComModuleCommands);
        default:
            ShowTopMenu();
            return ActOnTopAnswer(ReadAnswer(answer));
    }
}
