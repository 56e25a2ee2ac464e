#include "usbpipe/port_chain.h"

#include <cstddef>

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

}  // namespace

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

}  // namespace ductra
