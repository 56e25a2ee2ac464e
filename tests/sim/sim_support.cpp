#include "sim_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "sim/sim.h"

namespace SimTest {

uint16_t BitwiseCrc(const Bytes& bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc = static_cast<uint16_t>(crc ^ (b << 8));
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Bytes Frame(uint8_t first, uint8_t second, const Bytes& payload) {
    Bytes f(4 + payload.size());
    f[0] = first;
    f[1] = second;
    f[2] = static_cast<uint8_t>(payload.size());
    f[3] = static_cast<uint8_t>(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), f.begin() + 4);
    uint16_t crc = BitwiseCrc(f);
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

Bytes Hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string ToHex(const Bytes& bytes) {
    std::string out;
    char b[4];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02X", x);
        if (!out.empty()) out += ' ';
        out += b;
    }
    return out;
}

namespace {

namespace fs = std::filesystem;

// The folder of this test process's scenario files and wire logs. ctest runs
// the tests as separate processes side by side, so every process takes a
// folder of its own (the first name that does not exist yet) rather than
// fixed names in the shared temporary folder.
class ScratchFolder : public ::testing::Environment {
  public:
    const fs::path& Path() {
        if (path_.empty()) {
            const fs::path base = fs::temp_directory_path();
            const std::string stem = "ductra-sim-test-" + std::to_string(ProcessId()) + "-";
            for (int n = 0; n < 1000 && path_.empty(); ++n) {
                std::error_code error;
                const fs::path candidate = base / (stem + std::to_string(n));
                if (fs::create_directory(candidate, error)) path_ = candidate;
            }
            if (path_.empty()) ADD_FAILURE() << "no scratch folder could be made in " << base;
        }
        return path_;
    }
    void TearDown() override {
        if (path_.empty()) return;
        DuctraSimRestart(nullptr, nullptr);  // closes the wire log, so that it can go
        std::error_code ignored;
        fs::remove_all(path_, ignored);
        path_.clear();
    }

  private:
    static int ProcessId() {
#if defined(_WIN32)
        return _getpid();
#else
        return static_cast<int>(getpid());
#endif
    }
    fs::path path_;
};

ScratchFolder* const Scratch =
    static_cast<ScratchFolder*>(::testing::AddGlobalTestEnvironment(new ScratchFolder));

}  // namespace

void ChooseDevice(const char* value) {
#if defined(_WIN32)
    _putenv_s("DUCTRA_DEVICE", value);
#else
    if (*value == '\0')
        unsetenv("DUCTRA_DEVICE");
    else
        setenv("DUCTRA_DEVICE", value, 1);
#endif
}

std::string TempPath(const std::string& name) {
    return (Scratch->Path() / name).string();
}

std::string ReadFile(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
    return text;
}

std::string WireLog() {
    return ReadFile(TempPath("wire.log"));
}

int Start(const std::string& scenario) {
    std::string path;
    if (!scenario.empty()) {
        path = TempPath("scenario.json");
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(scenario.data(), 1, scenario.size(), f);
        std::fclose(f);
    }
    int result =
        DuctraSimRestart(path.empty() ? nullptr : path.c_str(), TempPath("wire.log").c_str());
    DuctraChatty(1);
    if (result == 0) {
        EXPECT_EQ(DuctraOpen(), 0);
    }
    return result;
}

std::vector<Bytes> Exchange(uint8_t address, uint8_t command, const Bytes& payload) {
    Bytes frame = Frame(address, command, payload);
    EXPECT_EQ(DuctraSend(frame.data(), static_cast<uint32_t>(frame.size()), 10000), 0);
    std::vector<Bytes> transfers;
    for (;;) {
        Bytes buffer(1024);
        uint32_t count = 0xDEADBEEF;
        int32_t r = DuctraReceive(buffer.data(), 1024, 2000, &count);
        if (r == DUCTRA_RESPONSE_TIMEOUT_OCCUR) {
            EXPECT_EQ(count, 0xDEADBEEFu) << "a time-out leaves the count alone";
            break;
        }
        EXPECT_EQ(r, 0);
        buffer.resize(count);
        transfers.push_back(buffer);
    }
    return transfers;
}

Bytes Request(uint8_t address, uint8_t command, const Bytes& payload) {
    std::vector<Bytes> t = Exchange(address, command, payload);
    EXPECT_LE(t.size(), 1u);
    return t.empty() ? Bytes{} : t.front();
}

Bytes Payload(uint8_t address, uint8_t command, const Bytes& payload) {
    Bytes f = Request(address, command, payload);
    if (f.size() < 6) {
        ADD_FAILURE() << "no answer to command " << int(command);
        return {};
    }
    EXPECT_EQ(f[1], 0) << "status of command " << int(command);
    std::size_t length = static_cast<std::size_t>(f[2] | (f[3] << 8));
    EXPECT_EQ(f.size(), length + 6);
    Bytes covered(f.begin(), f.end() - 2);
    EXPECT_EQ(BitwiseCrc(covered), static_cast<uint16_t>(f[f.size() - 2] | (f[f.size() - 1] << 8)));
    return Bytes(f.begin() + 4, f.end() - 2);
}

int StatusOf(uint8_t address, uint8_t command, const Bytes& payload) {
    Bytes f = Request(address, command, payload);
    if (f.size() < 6) return -1;
    EXPECT_EQ(f, Frame(0, f[1], Bytes(f.begin() + 4, f.end() - 2)));
    return f[1];
}

namespace {
struct Walker {
    const Bytes& b;
    std::size_t at = 0;
    bool ok = true;
    void Skip(std::size_t n) {
        ok = ok && at + n <= b.size();
        at = ok ? at + n : b.size();
    }
    // Little-endian value of 1 to 4 bytes.
    uint32_t Take(std::size_t n) {
        if (at + n > b.size()) {
            ok = false;
            return 0;
        }
        uint32_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
        at += n;
        return v;
    }
};
}  // namespace

Record Decode(const Bytes& payload) {
    Record r;
    Walker w{payload};
    r.family = static_cast<uint8_t>(w.Take(1));
    r.model = static_cast<uint8_t>(w.Take(1));
    r.version = static_cast<uint16_t>(w.Take(2));
    if (payload.size() >= 24) {
        const char* s = reinterpret_cast<const char*>(payload.data() + 4);
        r.serial.assign(s, strnlen(s, 20));
    }
    w.Skip(20);
    r.dob = w.Take(4);
    r.dom = w.Take(4);
    r.maintInterval = w.Take(4);
    r.stabilization = static_cast<uint16_t>(w.Take(2));
    uint32_t components = w.Take(1);
    r.devEn = static_cast<uint8_t>(w.Take(1));
    for (uint32_t c = 0; c < components && w.ok; ++c) {
        Record::Component comp;
        comp.lastCalDate = w.Take(4);
        comp.calInterval = w.Take(4);
        uint32_t setups = w.Take(2);
        for (uint32_t s = 0; s < setups && w.ok; ++s) {
            uint32_t inputs = w.Take(2);
            std::vector<uint32_t> words;
            for (uint32_t i = 0; i < inputs && w.ok; ++i) words.push_back(w.Take(4));
            comp.setups.push_back(words);
        }
        uint32_t cals = w.Take(1);
        comp.lastCal = static_cast<uint8_t>(w.Take(1));
        for (uint32_t k = 0; k < cals && w.ok; ++k) {
            uint32_t steps = w.Take(2);
            std::vector<float> values;
            for (uint32_t i = 0; i < steps && w.ok; ++i) {
                uint32_t bits = w.Take(4);
                float f = 0;
                std::memcpy(&f, &bits, sizeof f);
                values.push_back(f);
            }
            comp.calibrations.push_back(values);
        }
        r.components.push_back(comp);
    }
    r.complete = w.ok && w.at == payload.size();
    return r;
}

Record Report(uint8_t address, uint8_t board) {
    return Decode(Payload(address, 0x82, {board, 0}));
}

}  // namespace SimTest
