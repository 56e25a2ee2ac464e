// The menus and every prompt behind them, driven by arbitrary keystrokes
// against a healthy scripted instrument: whatever is typed, each run ends
// (at the end of the input or by a quit) without a crash or a hang.
#include <filesystem>
#include <fstream>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "link/frame.h"
#include "link/link_state.h"
#include "shell/shell.h"
#include "support/scripted_pipe.h"

namespace {

using Bytes = ScriptedPipe::Bytes;

void Append(Bytes& to, std::string_view bytes) {
    for (const char c : bytes) to.push_back(static_cast<uint8_t>(c));
}

Bytes ConfigurationRecord() {
    Bytes r(40, 0);
    r[0] = 202;  // family: sonde
    r[1] = 2;
    WriteLe16(&r[2], 0x1C85);
    const std::string_view serial = "FUZZ0001";
    for (std::size_t i = 0; i < serial.size(); ++i) r[4 + i] = static_cast<uint8_t>(serial[i]);
    WriteLe32(&r[24], 710632543);
    WriteLe32(&r[28], 710632543);
    WriteLe32(&r[32], 86400 * 30);
    WriteLe16(&r[36], 60);
    r[38] = 1;  // one component
    r[39] = 1;
    // Last calibration 0, interval 86400, one setup of one input word 1.0,
    // one calibration of one step 1.0.
    Append(r, std::string_view("\0\0\0\0\x80\x51\x01\0\1\0\1\0\0\0\x80\x3F"
                               "\1\1\1\0\0\0\x80\x3F",
                               24));
    return r;
}

Bytes DeviceListing() {
    return {10, 0, 2, 0, 1, 1, 202, 2, 0x85, 0x1C, 2, 1, 200, 1, 0x85, 0x1C};
}

// The data of the last page written, which the read-back returns.
Bytes lastWrite;

// Answers each request as a healthy instrument would.
void Answer(const Bytes& frame) {
    if (frame.size() < 6) return;
    switch (frame[1]) {
        case 0x09:
            ScriptedPipe::QueueResponse(0, DeviceListing());
            break;
        case 0x0A: {
            Bytes id;
            Append(id, std::string_view("Fuzz Sonde\0\0\0\0\0\0\0\0\0\0S123\0", 25));
            ScriptedPipe::QueueResponse(0, id);
            break;
        }
        case 0x82:
            ScriptedPipe::QueueResponse(0, ConfigurationRecord());
            break;
        case 0xF0:
            ScriptedPipe::QueueResponse(0, {0xE8, 0x03});
            break;
        case 0xF1:
            ScriptedPipe::QueueResponse(0, {0x85, 0x01, 0x40, 0x00});
            break;
        case 0xF4:
            ScriptedPipe::QueueResponse(0, {0x10, 0x00});
            break;
        case 0xF3:
            lastWrite.assign(frame.begin() + 8, frame.end() - 2);
            ScriptedPipe::QueueResponse(0);
            break;
        case 0xF2: {
            Bytes page(4, 0);
            for (const uint8_t b : lastWrite) page.push_back(b);
            ScriptedPipe::QueueResponse(0, page);
            break;
        }
        default:
            ScriptedPipe::QueueResponse(0);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "quillon-fuzz-console";
    fs::create_directories(dir / "firmware" / "folder");
    std::ofstream image(dir / "firmware" / "image.bin", std::ios::binary);
    for (int i = 0; i < 4 + 64 * 3; ++i) image.put(static_cast<char>(i));
    image.close();
    fs::current_path(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzRun run(std::string_view(reinterpret_cast<const char*>(data), size));
    ResetProgramState();
    ScriptedPipe::Reset();
    ScriptedPipe::SetResponder(&Answer);
    try {
        // Every answer consumes input, so the input runs out within this bound.
        for (std::size_t turn = 0; turn <= size + 1; ++turn) {
            if (ShowMenu()) DispatchCommand(CommandCode);
        }
        Require(false);  // typed input that never ran out: the menus looped
    } catch (const FuzzProgramEnded& ended) {
        Require(ended.exitCode == 0 || ended.exitCode == 3);
    }
    return 0;
}
