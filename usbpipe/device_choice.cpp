// DUCTRA_DEVICE: which of several attached instruments an open takes.

#include "usbpipe/pipe_backend.h"
#include "usbpipe/port_chain.h"

namespace ductra {

namespace {

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
