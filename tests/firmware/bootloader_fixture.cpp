#include "bootloader_fixture.h"

#include <atomic>
#include <fstream>

#include "link/frame.h"
#include "link/link_state.h"
#include "support/console_capture.h"

namespace firmware_test {

namespace fs = std::filesystem;

void FakeBootloader::Answer(const Bytes& frame) {
    if (frame.size() < FrameOverhead) return;
    const uint8_t command = frame[1];
    const Bytes payload(frame.begin() + FrameHeaderSize, frame.end() - FrameCrcSize);
    seen.push_back({frame[0], command, payload, FakeClock::Now()});

    if (int& silent = silences[command]; silent > 0) {
        --silent;
        return;  // nothing queued: the receive times out
    }
    if (auto& queue = statuses[command]; !queue.empty()) {
        const uint8_t status = queue.front();
        queue.pop_front();
        if (status != 0) {
            ScriptedPipe::QueueResponse(status);
            return;
        }
    }
    if (auto found = payloadOverride.find(command); found != payloadOverride.end()) {
        ScriptedPipe::QueueResponse(0, found->second);
        return;
    }
    const auto le16 = [](uint16_t v) { return Bytes{uint8_t(v & 0xFF), uint8_t(v >> 8)}; };
    switch (command) {
        case 0xF0:
            ScriptedPipe::QueueResponse(0, le16(startWait));
            break;
        case 0xF1: {
            Bytes answer = le16(runningVersion);
            const Bytes size = le16(blockSize);
            answer.insert(answer.end(), size.begin(), size.end());
            ScriptedPipe::QueueResponse(0, answer);
            break;
        }
        case 0xF4:
            flash.clear();
            ScriptedPipe::QueueResponse(0, le16(eraseMs));
            break;
        case 0xF3:
            if (payload.size() >= 4) {
                flash[ReadLe16(payload.data() + 2)] = Bytes(payload.begin() + 4, payload.end());
            }
            ScriptedPipe::QueueResponse(0);
            break;
        case 0xF2: {
            const uint16_t block = payload.size() >= 4 ? ReadLe16(payload.data() + 2) : 0;
            // Four leading bytes that are not part of the block.
            Bytes answer{0xA5, 0x5A, uint8_t(block & 0xFF), uint8_t(block >> 8)};
            Bytes stored = flash[block];
            if (changedReadBackByte && *changedReadBackByte < stored.size()) {
                stored[*changedReadBackByte] ^= 0xFF;
            }
            answer.insert(answer.end(), stored.begin(), stored.end());
            ScriptedPipe::QueueResponse(0, answer);
            break;
        }
        default:
            ScriptedPipe::QueueResponse(0);
            break;
    }
}

std::vector<SeenRequest> FakeBootloader::Requests(uint8_t command) const {
    std::vector<SeenRequest> found;
    for (const SeenRequest& request : seen) {
        if (request.command == command) found.push_back(request);
    }
    return found;
}

std::vector<uint8_t> FakeBootloader::Commands() const {
    std::vector<uint8_t> commands;
    for (const SeenRequest& request : seen) commands.push_back(request.command);
    return commands;
}

void FirmwareTest::SetUp() {
    static std::atomic<int> counter{0};
    previousDir = fs::current_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    scratch = fs::temp_directory_path() /
              ("quillon-fw-" + std::string(info->name()) + "-" + std::to_string(counter++));
    fs::remove_all(scratch);
    fs::create_directories(scratch / "firmware");
    fs::current_path(scratch);

    ScriptedPipe::Reset();
    ResetLinkState();
    LinkQuiet = 1;
    ReceiveTimeout = WorkingReceiveTimeoutMs;
    DeviceAddress = 3;  // the download must switch to the sonde itself
    ScriptedPipe::SetResponder([this](const Bytes& frame) { device.Answer(frame); });
}

void FirmwareTest::TearDown() {
    ScriptedPipe::SetResponder(nullptr);
    fs::current_path(previousDir);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
}

Bytes FirmwareTest::WriteImage(const std::string& name, uint16_t versionWord,
                               std::size_t dataLength) {
    Bytes bytes{0x11, 0x22, uint8_t(versionWord & 0xFF), uint8_t(versionWord >> 8)};
    for (std::size_t i = 0; i < dataLength; ++i) bytes.push_back(uint8_t((i * 7 + i / 251) & 0xFF));
    WriteRaw(name, bytes);
    return bytes;
}

void FirmwareTest::WriteRaw(const std::string& name, const Bytes& bytes) {
    std::ofstream out(fs::path("firmware") / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string FirmwareTest::EntryPath(const std::string& name) {
    return (fs::path("firmware") / name).string();
}

}  // namespace firmware_test
