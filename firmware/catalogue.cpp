// The first stage of 'dl': list the folder "firmware" and let the technician
// pick one of its entries by number.
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "firmware/image.h"
#include "firmware/prompts.h"
#include "terminal/console_io.h"
#include "terminal/platform.h"

char ChosenFirmwarePath[ChosenPathCapacity];

namespace {

namespace fs = std::filesystem;

// The entry's path as narrow text. UTF-8 on every platform, so that a name
// that has no narrow form in the Windows code page still lists and opens.
std::string PathText(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// Reads at most CatalogueCapacity entries of the folder in enumeration order;
// sets more when the folder holds further entries. Returns the error that
// stopped the enumeration, if any.
std::error_code ListFolder(std::vector<std::string>& entries, bool& more) {
    std::error_code error;
    fs::directory_iterator it(fs::path("firmware"), error);
    more = false;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        if (entries.size() == CatalogueCapacity) {
            more = true;
            break;
        }
        entries.push_back(PathText(it->path()));
    }
    return error;
}

void PrintBanner() {
    ConsolePrint("*****************************************************\n");
    ConsolePrint("BE VERY CAREFUL THAT YOU SELECT THE CORRECT FIRMWARE.\n");
    ConsolePrint("THIS PROGRAM WILL NOT CHECK WHAT YOU SELECT!         \n");
    ConsolePrint("*****************************************************\n");
}

}  // namespace

int ChooseFirmwareImage() {
    PlatformClearScreen();
    ConsolePrint("\nSensor Firmware Download\n\n");
    ConsolePrint(
        "These are your current options, you may replace an older version in the firmware "
        "folder with a newer one\n");
    ConsolePrint(
        "if this doesn't have the most current version then use Quellis to update it after you "
        "install this one.\n\n");

    std::vector<std::string> entries;
    bool more = false;
    const std::error_code error = ListFolder(entries, more);
    if (error) {
        ConsolePrint("The firmware folder \"firmware\" cannot be read: %s\n",
                     error.message().c_str());
        PressReturn();
        return 1;
    }
    if (entries.empty()) {
        ConsolePrint("The firmware folder \"firmware\" is empty, there is nothing to download.\n");
        PressReturn();
        return 1;
    }
    for (std::size_t k = 0; k < entries.size(); ++k) {
        ConsolePrint("%d %s\n", static_cast<int>(k + 1), entries[k].c_str());
    }
    if (more) {
        ConsolePrint("Only the first %d entries of the firmware folder are listed.\n",
                     static_cast<int>(CatalogueCapacity));
    }
    PrintBanner();

    // With no entry short enough to be chosen, no answer could end the question.
    bool anyUsable = false;
    for (const std::string& entry : entries)
        anyUsable = anyUsable || entry.size() < ChosenPathCapacity;
    if (!anyUsable) {
        ConsolePrint("No entry of the firmware folder has a path of %d characters or fewer.\n",
                     static_cast<int>(ChosenPathCapacity - 1));
        PressReturn();
        return 1;
    }

    const int32_t count = static_cast<int32_t>(entries.size());
    for (;;) {
        ConsolePrint("\n%s", FirmwareChoicePrompt.text);
        int32_t selection = 0;
        // Text instead of a number is discarded and the question asked again.
        if (!ReadDecimal(selection) || selection < 1 || selection > count) continue;
        const std::string& chosen = entries[static_cast<std::size_t>(selection - 1)];
        if (chosen.size() >= ChosenPathCapacity) {
            ConsolePrint("That path is longer than %d characters and cannot be used.\n",
                         static_cast<int>(ChosenPathCapacity - 1));
            continue;
        }
        std::memcpy(ChosenFirmwarePath, chosen.c_str(), chosen.size() + 1);
        break;
    }
    ConsolePrint("\nYou chose %s \n", ChosenFirmwarePath);
    return 0;
}
