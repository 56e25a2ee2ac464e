// Every decoder of a device answer, driven through the real command code
// with answers taken from the fuzz data: the device listing, the ID string,
// the device look-up, the configuration record, the device-name header of
// the menus and the bootloader answers of the firmware download.
#include <filesystem>
#include <fstream>
#include <string>

#include "firmware/firmware.h"
#include "fuzz/fuzz_support.h"
#include "link/link.h"
#include "service/service.h"
#include "shell/shell.h"
#include "support/scripted_pipe.h"

namespace {

// A folder holding one image of 4 + 1300 bytes, so that the download gets as
// far as the device lets it.
void MakeFirmwareFolder() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "quillon-fuzz-decoders";
    fs::create_directories(dir / "firmware");
    std::ofstream image(dir / "firmware" / "image.bin", std::ios::binary);
    for (int i = 0; i < 1304; ++i) image.put(static_cast<char>(i * 7 + 3));
    image.close();
    fs::current_path(dir);
}

// Queues the device's answers: framed responses with a status and payload,
// or raw reads of arbitrary bytes.
void QueueAnswers(FuzzBytes& bytes) {
    while (!bytes.Empty()) {
        const uint8_t kind = bytes.Byte();
        if (kind == 0xFF) {
            ScriptedPipe::QueueTimeout();
        } else if (kind >= 0xC0) {
            const std::string_view raw = bytes.Take(bytes.Byte());
            ScriptedPipe::QueueRead(0, ScriptedPipe::Bytes(raw.begin(), raw.end()));
        } else {
            const uint8_t status = kind < 0x80 ? 0 : kind & 0x1F;
            const std::string_view payload = bytes.Take(bytes.Word() % 700);
            ScriptedPipe::QueueResponse(status,
                                        ScriptedPipe::Bytes(payload.begin(), payload.end()));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MakeFirmwareFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzBytes bytes(data, size);
    const uint8_t selector = bytes.Byte();
    const uint8_t menu = static_cast<uint8_t>(2 + bytes.Byte() % 4);
    // Answers at the prompts: a sensor address, the image choice, a device number.
    FuzzRun run("3\n1\n2\n");
    ResetProgramState();
    ScriptedPipe::Reset();
    MenuState = menu;
    DeviceAddress = menu == MenuHandheld ? 3 : menu == MenuComModule ? 2 : 1;
    QueueAnswers(bytes);
    try {
        switch (selector % 6) {
            case 0:
                CommandCode = 9;
                ListDevices();
                break;
            case 1:
                CommandCode = 10;
                ShowSystemId();
                break;
            case 2:
                LookUpDevices();
                break;
            case 3:
                ShowConfiguration();
                break;
            case 4:
                MenuState = static_cast<uint8_t>(3 + selector / 6 % 3);
                ShowMenu();
                break;
            default:
                MenuState = MenuSensorBoards;
                DownloadFirmware();
                break;
        }
    } catch (const FuzzProgramEnded&) {
    }
    return 0;
}
