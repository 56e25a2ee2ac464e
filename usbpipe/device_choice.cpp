// DUCTRA_DEVICE: which of several attached instruments an open takes.

#include "usbpipe/pipe_backend.h"

namespace ductra {

namespace {

// A number of the port chain: 1 to 255, no leading zero. Advances `at`.
bool ReadPortNumber(const std::string& text, std::size_t& at) {
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 4) {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        ++at;
    }
    return at > start && text[start] != '0' && value <= 255;
}

// BUS-PORT[.PORT...], at most seven ports deep, as sysfs names a device.
bool IsPortChain(const std::string& text) {
    std::size_t at = 0;
    if (!ReadPortNumber(text, at) || at == text.size() || text[at] != '-') return false;
    for (int depth = 1; depth <= 7; ++depth) {
        ++at;
        if (!ReadPortNumber(text, at)) return false;
        if (at == text.size()) return true;
        if (text[at] != '.') return false;
    }
    return false;
}

// A USB string descriptor holds at most 126 characters; control characters
// would not survive a console line or a results file.
bool IsSerialText(const std::string& text) {
    if (text.empty() || text.size() > 126) return false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

}  // namespace

int ParseDeviceChoice(const char* text, DeviceChoice* choice, std::string* error) {
    *choice = DeviceChoice{};
    if (text == nullptr || *text == '\0') return 0;
    const std::string value(text);
    if (value.rfind("port=", 0) == 0 && IsPortChain(value.substr(5))) {
        *choice = {ChoiceKind::kPort, value.substr(5)};
        return 0;
    }
    if (value.rfind("serial=", 0) == 0 && IsSerialText(value.substr(7))) {
        *choice = {ChoiceKind::kSerial, value.substr(7)};
        return 0;
    }
    *error = "expected port=BUS-PORT[.PORT...] (such as port=1-4.2) or serial=TEXT";
    return 1;
}

bool ChoiceMatches(const DeviceChoice& choice, const std::string& port, const std::string& serial) {
    switch (choice.kind) {
        case ChoiceKind::kAny:
            return true;
        case ChoiceKind::kPort:
            return port == choice.value;
        case ChoiceKind::kSerial:
            return serial == choice.value;
    }
    return false;
}

}  // namespace ductra
